// The music family: eleven tools driving the Music application through its
// scripts (play, pause, skip, volume, current track, library statistics,
// playlists, search, play a song or a playlist).
#pragma once

#include "app/platform/script_host.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace app::tools {

std::vector<MCPTool> musicToolDefinitions();

// The scripts Music is sent, with slots ⟦level⟧ ⟦limit⟧ (integers in code),
// ⟦query⟧ ⟦song⟧ ⟦playlist⟧ (texts in literals) and ⟦shuffle⟧ (true or false in code).
extern const std::string_view musicPlayScript;
extern const std::string_view musicPauseScript;
extern const std::string_view musicNextScript;
extern const std::string_view musicPreviousScript;
extern const std::string_view musicSetVolumeTemplate;
extern const std::string_view musicCurrentTrackScript;
extern const std::string_view musicLibraryStatsScript;
extern const std::string_view musicListPlaylistsTemplate;
extern const std::string_view musicSearchTemplate;
extern const std::string_view musicPlaySongTemplate;
extern const std::string_view musicPlayPlaylistTemplate;

// The scripts with their values; texts are quoted for their string literals.
std::string musicSetVolumeScript(std::int64_t level);
std::string musicListPlaylistsScript(std::int64_t limit);
std::string musicSearchScript(std::string_view query, std::int64_t limit);
std::string musicPlaySongScript(std::string_view song);
std::string musicPlayPlaylistScript(std::string_view playlist, bool shuffle);

// A text field of a script result, written so that it holds no "|" (and so
// never the "|||" between fields): "%" and "|" percent-encoded.
std::string musicField(std::string_view text);
// The field's text again; other "%" sequences stay as they are.
std::string musicFieldText(std::string_view field);

class MusicToolFamily : public ToolFamily {
public:
    // Throws std::invalid_argument for a null script host.
    explicit MusicToolFamily(std::shared_ptr<platform::ScriptHost> scriptHost);

    ToolSwitch toolSwitch() const override { return ToolSwitch::Music; }
    std::vector<MCPTool> definitions() const override { return musicToolDefinitions(); }
    // Throws ToolError "MusicTool" 400 for a missing argument, 404 "Unknown
    // music tool: <name>", 500 when the script fails; rt::Cancelled when
    // stopped while the music folder is read.
    ToolResult run(const std::string& name, const Arguments& arguments, std::stop_token stop) override;

    // The script's text ("Success" when it gives none). Throws ToolError
    // "MusicTool" 500 "Failed to compile AppleScript" or "AppleScript Error: <message>".
    std::string runAppleScript(std::string_view source);

private:
    std::shared_ptr<platform::ScriptHost> scriptHost_;
};

}  // namespace app::tools
