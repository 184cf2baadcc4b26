// The publishing itself: waiting for the readers, the paced write loop and
// the final acknowledgement wait, on writers already created.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <log4cplus/logger.h>

#include "lumo/componentFramework/DdsPub.h"
#include "quillpubOptions.h"

// What one topic's writer did.
struct TopicReport
{
    std::string topic;
    uint32_t readerIndex = 0;
    uint64_t samplesWritten = 0; // writes Fast DDS accepted
    uint64_t idsSkipped = 0;
    uint64_t idsRepeated = 0;
    uint64_t samplesCorrupted = 0;
    uint64_t writeFailures = 0;
};

// "[<topic>][<reader index>] samples written: <n> ids skipped: <n> ids repeated: <n>
//  samples corrupted: <n> write failures: <n>" (one line).
std::string SummaryLine(const TopicReport& report);

// Waits until every writer has settings.waitReaders matched readers. False,
// with an ERROR logged, when the wait timed out; true as well when `stop` was
// set meanwhile (the caller's loop then writes nothing).
bool WaitForReaders(const lumo::componentFramework::DdsPub& dds, const PubSettings& settings, log4cplus::Logger& logger,
                    const std::atomic<bool>& stop);

// Publishes on writer i for settings.topics[i] until the count or the
// duration is reached or `stop` is set; one report per topic, in order.
std::vector<TopicReport> RunPublisher(lumo::componentFramework::DdsPub& dds, const PubSettings& settings,
                                      log4cplus::Logger& logger, const std::atomic<bool>& stop);

// Gives the readers up to settings.ackTimeoutSec, all writers together, to
// acknowledge what was written; a WARN names each writer left unacknowledged.
void AwaitAcknowledgments(const lumo::componentFramework::DdsPub& dds, const PubSettings& settings,
                          const std::vector<TopicReport>& reports, log4cplus::Logger& logger);

// Keeps the writers (and so the readers' match) for settings.lingerSec, or
// until `stop` is set.
void Linger(const PubSettings& settings, const std::atomic<bool>& stop);
