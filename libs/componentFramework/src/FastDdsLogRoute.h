// Fast DDS's own log, written through log4cplus (see Logging.h).
#pragma once

namespace lumo::componentFramework {

// Replaces Fast DDS's log consumers (its standard-output one) by one that
// hands every entry to the FAST_DDS_LOGGER logger. Call after log4cplus is
// configured; calling again replaces the previous route.
void RouteFastDdsLog();

} // namespace lumo::componentFramework
