// Fast DDS's own log, written through log4cplus (see Logging.h).
#pragma once

namespace lumo::componentFramework {

// Replaces Fast DDS's log consumers (its standard-output one) by one that
// hands every entry to the FAST_DDS_LOGGER logger. Call after log4cplus is
// configured; calling again replaces the previous route.
void RouteFastDdsLog();

// Fast DDS's shared-memory transport warns once, at its first send, about a
// buffer that no receiver ever held (see FastDdsLogRoute.cpp); the route
// leaves out one such warning per participant that has the transport. Call
// the first before such a participant is created (its first send may come
// while it is created), the second once it is deleted or failed to be.
void SharedMemoryParticipantComing();
void SharedMemoryParticipantGone();

} // namespace lumo::componentFramework
