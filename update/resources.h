#pragma once

// The images built into the updater (resources/resources.qrc), reachable as
// ":/<name>". They live in a static library, so they are registered by hand:
// call init() before anything looks one up. Calling it again does no harm.
namespace Resources {

void init();

} // namespace Resources
