// The further natives: value? (69), uppercase (71), lowercase (72), as-pair
// (73), as-point2D (74), as-point3D (75), as-money (76), extend (83),
// to-local-file (85), wait (86), unset (88), new-line (89), new-line? (90),
// context? (92), set-env (93), get-env (94), list-env (95), now (96), as
// (98), call (99), browse (102), recycle (105) and transcode (106). They
// follow the native entry convention (runtime/eval/natives.h).
//
// The ones whose datatypes or host services are not built yet (pair!,
// point2D!, point3D!, money!, map!, date!, process calls, the desktop's
// opener) check their arguments and raise internal not-done.
#pragma once

#include <cstdint>

#include "runtime/eval/natives.h"

namespace kiv::natives {

// The GUI event loop's pass without waiting that wait runs after sleeping;
// the view back-end installs it (none until then).
using EventPass = void (*)();
void set_wait_event_pass(EventPass pass);

}  // namespace kiv::natives
