// SPDX-License-Identifier: MIT
// Failing the library's own allocations and thread creations (plain build).
#pragma once

namespace fault {

enum class Kind { alloc, thread };

// True when the calls of the library are counted here (the plain build,
// with the library loaded).
bool interpose_available();
// From now on count the library's calls of that kind from 1 and fail the
// nth one; 0 fails none.
void arm(Kind k, long nth);
// The library's calls of that kind since the last arm().
long calls(Kind k);
// Allocations the library made and has not freed.
long live_allocations();

}  // namespace fault
