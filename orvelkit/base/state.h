// orvelkit.base's state: the fields the module adds to the frame's per-process record. What the
// frame is told about the module stands in base.cpp.
#pragma once

#include "base/names.h"
#include "frame/record.h"
#include "mysql/connection_url.h"

namespace orvelkit::base {

using namespace orvelkit::frame;

// The module's own fields after the frame's; each holds one reference for the process.
struct State : ModuleState {
    using ModuleState::ModuleState;
    // The URL work, with urllib.parse.quote and sqlalchemy.engine.make_url taken once at
    // initialisation: user names and passwords are encoded, and URLs proved to read back as given,
    // the same way for the life of the process, whatever later happens to those modules or to
    // this one's globals.
    mysql::ConnectionUrls urls;
    // {"connected": False, "message": None}, never handed out: each connector gets a copy, which
    // costs less than half of building the same dict item by item.
    PyObject* fresh_status = nullptr;
};

}  // namespace orvelkit::base
