// The settings program's own pictures and type: the guide's illustrations,
// the row symbols, and the page fonts.
#pragma once

#include "app/ui/default_applications.hpp"

#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QString>

namespace app::ui {

// "PingFang SC" first; on Linux it resolves through "Noto Sans CJK SC".
QFont pageFont(int pixelSize, QFont::Weight weight = QFont::Normal);

// "图一", "图二" or "图三", width wide; any other name is an empty pixmap.
QPixmap illustration(const QString& name, int width);

// A symbol ("calendar", "checklist", "person.circle", "message", "envelope",
// "music.note", "checkmark", "server.rack") size pixels square, drawn in
// colour; an unknown name is a plain circle.
QPixmap symbol(const QString& name, int size, const QColor& colour);

// An application's icon size pixels square (aspect kept) at the screen's
// pixel ratio: from the icon theme, or decoded from its file's bytes. Null
// when the theme has no such icon or the bytes are no image.
QPixmap applicationIconPixmap(const ApplicationIcon& icon, int size, qreal pixelRatio);

// Makes the icon theme look in these folders too (the XDG data folders'
// icons; a platform without a desktop theme knows none), with hicolor as the
// theme when the platform names none.
void useIconThemeFolders(const std::vector<std::string>& folders);

}  // namespace app::ui
