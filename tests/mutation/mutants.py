# Planted faults in the music family, its stand-in and its platform pieces (format of ../shared/mutation/mutants.py).
M = [
('MU1', 'app/tools', 'src/app/tools/music/music_stand_in.cpp', 'A playing player no longer comes first', '        if (status == "Playing") return name;\n', ''),
('MU2', 'app/tools', 'src/app/tools/music/music_stand_in.cpp', 'Players not taken in name order', '    std::sort(names.begin(), names.end());\n', ''),
('MU3', 'app/tools', 'src/app/tools/music/music_stand_in.cpp', 'Shuffle on a player without it reported as success', '    if (!players_->setShuffle(player, shuffle) && shuffle)', '    if (!players_->setShuffle(player, shuffle) && !shuffle)'),
('MU4', 'app/tools', 'src/app/tools/music/music_stand_in.cpp', 'An empty playlist handed to the player', '    if (playlist->entries.empty())\n', '    if (false)\n'),
('MU5', 'app/tools', 'src/app/tools/music/music_stand_in.cpp', 'Volume mapped to 0-10', 'static_cast<double>(level) / 100.0', 'static_cast<double>(level) / 10.0'),
('MU6', 'app/tools', 'src/app/tools/music/music_stand_in.cpp', 'State word kept in the player\'s case', '           lowerAscii(chosen->status.playbackStatus);', '           chosen->status.playbackStatus;'),
('MU7', 'app/tools', 'src/app/tools/music/music_tools.cpp', 'Stopped compared untrimmed', 'if (trimmedWhiteSpace(result) == "STOPPED")', 'if (result == "STOPPED")'),
('MU8', 'app/tools', 'src/app/tools/music/music_tools.cpp', 'Volume level not clamped', 'std::clamp<std::int64_t>(*level, 0, 100)', '*level'),
('MU9', 'app/platform', 'src/app/platform/music_library.cpp', 'A folder met twice is entered again (symlink loop)', 'visited.insert({info.st_dev, info.st_ino}).second', 'true'),
('MU10', 'app/platform', 'src/app/platform/music_library.cpp', 'Files that are not regular taken as audio', '            if (!S_ISREG(info.st_mode)) continue;\n', ''),
('MU11', 'app/platform', 'src/app/platform/music_library.cpp', 'Tags read again for unchanged files', '        if (old != tracks_.end() && old->second.stamp == file.stamp) {', '        if (false) {'),
('MU12', 'app/platform', 'src/app/platform/music_library.cpp', "'#' left unencoded in file URIs", "c == '.' || c == '_' || c == '~' || c == '/';", "c == '.' || c == '_' || c == '~' || c == '/' || c == '#';"),
('MU13', 'app/platform', 'src/app/platform/music_library.cpp', 'A lone CR no longer ends an M3U line', 'std::size_t end = rest.find_first_of("\\r\\n");', "std::size_t end = rest.find('\\n');"),
('MU14', 'app/platform', 'src/app/platform/media_players.cpp', 'Artists joined without a blank', 'track.artist += ", ";', 'track.artist += ",";'),
('MU15', 'app/platform', 'src/app/platform/music/mpris_client.cpp', 'Unsigned lengths not read', '    if (type == "t") return value.get<std::uint64_t>();\n', ''),
('MU17', 'app/tools', 'src/app/tools/music/music_stand_in.cpp', 'A negative search limit returns everything', 'if (static_cast<std::int64_t>(found.size()) >= limit) break;', 'if (found.size() >= static_cast<std::size_t>(limit)) break;'),
]
