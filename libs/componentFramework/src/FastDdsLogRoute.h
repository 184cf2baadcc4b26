// Fast DDS's own log, written through log4cplus (see Logging.h).
#pragma once

#include <map>
#include <string>
#include <vector>

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

// Keeps what Fast DDS's security plugins say about remote participants (its
// SECURITY and SECURITY_AUTHENTICATION warnings and errors) for
// TakeSecurityComplaints. Fast DDS rates the cause of a failed handshake a
// warning, so its log is opened to warnings; those it would not have
// produced before reach the route but not the log.
void KeepSecurityComplaints();

// What the security plugins said since the last call, oldest first, each
// once, joined by "; " (at most the last few); empty when they said nothing.
std::string TakeSecurityComplaints();
// The authenticated peers that access control refused since the last call,
// by GUID prefix, with the cause Fast DDS gave (may be empty). It logs them,
// and reports them nowhere else.
std::map<std::string, std::string> TakeAccessComplaints();
// The local readers (GUIDs) that the security manager refused to pair with a
// discovered writer since the last call; Fast DDS logs that, naming neither
// the writer nor the cause.
std::vector<std::string> TakeRefusedPairings();

} // namespace lumo::componentFramework
