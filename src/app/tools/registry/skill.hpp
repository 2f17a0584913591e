// A skill: a named instruction text, and a holder of skills.
#pragma once

#include <string>
#include <vector>

namespace app::tools {

struct Skill {
    std::string name;
    std::string description;
    std::string instruction;
    friend bool operator==(const Skill&, const Skill&) = default;
};

class SkillManager {
public:
    std::vector<Skill> skills;
};

}  // namespace app::tools
