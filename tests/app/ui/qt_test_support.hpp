// For the window tests: a settings program over a fresh home folder, clicks
// by object name, bounded waits, screenshots and the check that Chinese text
// was drawn with a font that has it.
#pragma once

#include "app/ui/settings_app.hpp"

#include <QAbstractButton>
#include <QLabel>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

namespace uitest {

// Points HOME and the XDG folders at a new temporary folder; returns it.
std::string freshHome();
// Writes the user-defaults file of that home.
void writeDefaults(const std::string& home, const std::string& json);
// The stored value of a boolean key, read anew from the file.
bool storedBoolean(const std::string& home, const std::string& key);

// Polls (processing events) until pred holds; false after the time-out.
bool waitFor(const std::function<bool()>& pred, int milliseconds = 5000);

// Clicks the visible button of that name inside root; false when there is none.
bool click(QWidget* root, const QString& name);

// Saves root's picture as <name>.png in the build's screenshot folder.
void saveScreenshot(QWidget* root, const QString& name);

// The label's Chinese characters are in its chosen font, and ink was drawn.
void expectCjkDrawn(QLabel* label);

}  // namespace uitest
