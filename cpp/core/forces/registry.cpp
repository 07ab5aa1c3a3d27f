// The forces by name. A new force is one file force_<name>.cpp defining make_force_<name> and one line
// X(<name>) below.
#include "core/forces/force.hpp"

#include <cstring>

namespace vextal::numerics {

#define VX_FORCES(X) \
    X(j2)            \
    X(zonal)

#define VX_DECLARE(name) std::unique_ptr<Force> make_force_##name(const ForceArgs& args, const char*& error) noexcept;
VX_FORCES(VX_DECLARE)
#undef VX_DECLARE

namespace {

struct Entry {
    const char* name;
    std::unique_ptr<Force> (*make)(const ForceArgs&, const char*&) noexcept;
};

#define VX_ENTRY(name) {#name, make_force_##name},
constexpr Entry entries[] = {VX_FORCES(VX_ENTRY)};
#undef VX_ENTRY

#define VX_NAME(name) #name,
constexpr const char* names[] = {VX_FORCES(VX_NAME) nullptr};
#undef VX_NAME

}  // namespace

std::unique_ptr<Force> make_force(const char* name, const ForceArgs& args, const char*& error) noexcept {
    error = nullptr;
    for (const Entry& e : entries) {
        if (std::strcmp(e.name, name) != 0) continue;
        std::unique_ptr<Force> force = e.make(args, error);
        if (!force && !error) error = "out of memory";
        return force;
    }
    error = "no force of that name";
    return nullptr;
}

const char* const* force_names() noexcept { return names; }

}  // namespace vextal::numerics
