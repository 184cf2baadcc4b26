// Readers made while the run goes on, for topics of any type: once
// discovery names a topic's writers, a reader is made with the type they
// announce, keyed or keyless as they are. AgnosticTopic topics get the
// monitor's own reader, checks included; every other type is taken as raw
// bytes. Poll runs on the main thread only: Fast DDS's discovery callbacks
// must not create entities.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <log4cplus/logger.h>

#include "anyTopicSettings.h"
#include "lumo/componentFramework/DdsSub.h"
#include "lumo/ddsDiagnosis/ReaderDiagnosis.h"
#include "model/monitorRun.h"
#include "quillReaderListener.h"
#include "readerChoice.h"

namespace anyTopic {

// Whether a topic name matches a shell glob ('*', '?', '[...]').
bool GlobMatches(const std::string& glob, const std::string& name);

class TopicAdoption
{
public:
    // The topics beyond which none is read: as many as the command line takes.
    static constexpr size_t MAX_READERS = 15;

    struct Context
    {
        lumo::componentFramework::DdsSub& dds;
        lumo::ddsDiagnosis::ReaderDiagnosis& diagnosis;
        std::shared_ptr<lumo::ddsDiagnosis::ReaderDiagnosis> sharedDiagnosis;
        quillModel::MonitorRun& run;
        quillModel::HostLookup hostLookup;
        std::string multicastAddress;
        log4cplus::Logger& logger;
    };

    // `named`: the topics given by name; reader i of them has index i.
    TopicAdoption(AnyTopicSettings settings, std::vector<std::string> named, Context context);

    // Makes the readers whose topics' writers are known now, and says what
    // cannot be read. Cheap when discovery has nothing new.
    void Poll();

    // The listeners made so far, by reader index.
    std::vector<std::shared_ptr<QuillReaderListener>> Listeners() const;

private:
    struct Adopted
    {
        std::shared_ptr<QuillReaderListener> listener;
        TopicType type;
        uint32_t readerIndex = 0;
    };

    // False when the reader cannot be made (said once, not tried again).
    bool TryAdopt(const std::string& topic, uint32_t readerIndex, const TopicType& type);
    void Adopt(const std::string& topic, uint32_t readerIndex, const TopicType& type);
    void SayMixedTypes(const std::string& topic, const std::vector<lumo::componentFramework::DiscoveredWriter>& writers,
                       const TopicType& read);
    void SayOverCap(const std::vector<std::string>& left);

    const AnyTopicSettings settings_;
    const std::vector<std::string> named_;
    Context context_;
    std::map<std::string, Adopted> adopted_;
    uint32_t nextIndex_;
    std::map<uint32_t, std::shared_ptr<quillModel::ReaderTally>> namedTallies_;
    std::map<std::string, std::set<std::string>> mixedSaid_; // topic: kinds said
    std::set<std::string> overCapSaid_;
    std::set<std::string> failed_; // topics whose reader could not be made
};

} // namespace anyTopic
