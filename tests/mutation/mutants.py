# Planted faults for the rows added for survivors of the shared set (same format as its mutants.py).
# id, module, file, description, text in the file, text that replaces it
M = [
('T18A', 'eventsource', 'src/eventsource/parser.cpp', 'Data of one event exactly at the size limit refused (> to >=)', 'if (currentData_.size() + separator + value.size() > sizeLimit_) overflow("data");', 'if (currentData_.size() + separator + value.size() >= sizeLimit_) overflow("data");'),
('T18B', 'app/platform', 'src/app/platform/access_prompter.cpp', 'Of two racing answers the later overwrites the first (guard dropped)', '"ON CONFLICT(entity, application) DO UPDATE SET status = excluded.status "\n            "WHERE access_decisions.status = 0");', '"ON CONFLICT(entity, application) DO UPDATE SET status = excluded.status");'),
]
