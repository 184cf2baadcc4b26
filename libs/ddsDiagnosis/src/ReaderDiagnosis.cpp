#include "lumo/ddsDiagnosis/ReaderDiagnosis.h"

#include "lumo/componentFramework/DdsSub.h"
#include "lumo/ddsDiagnosis/DiscoveryDescription.h"

namespace lumo::ddsDiagnosis {

namespace {

// The shipped profiles, in the order in which one is suggested for a writer
// that the current profile cannot read.
constexpr const char* SHIPPED_READER_PROFILES[] = {"Lumo_Default_Profile", "Lumo_Liveliness_Profile",
                                                   "Lumo_BestEffort_Profile", "Lumo_SharedMemory_Profile",
                                                   "Lumo_Loopback_Profile"};

} // namespace

ReaderDiagnosis::ReaderDiagnosis(log4cplus::Logger& logger, componentFramework::DdsSub& dds,
                                 NoMatchWarning::Clock::duration quietPeriod)
    : watch_(std::make_shared<DiscoveryWatch>(logger))
    , logger_(logger)
    , quietPeriod_(quietPeriod)
{
    dds.SetDiscoveryObserver(watch_);
}

void ReaderDiagnosis::AddReaders(const componentFramework::DdsSub& dds, const std::vector<std::string>& topics,
                                 const std::vector<componentFramework::EndpointSecurity>& security)
{
    std::vector<std::pair<std::string, EndpointQos>> suggested;
    for (const char* name : SHIPPED_READER_PROFILES) {
        if (name == dds.QosProfile()) {
            continue;
        }
        if (auto qos = dds.ProfileReaderQos(name)) { // not every QoS file has them all
            suggested.emplace_back(name, std::move(*qos));
        }
    }
    watch_->SetSuggestedProfiles(std::move(suggested));
    // The facade outlives the diagnosis's work: Stop comes before the
    // readers are deleted.
    watch_->SetMatchedWriters([&dds, map = indexMap_](uint32_t index) {
        size_t ddsIndex = index;
        {
            std::lock_guard lock(map->mutex);
            if (const auto found = map->ddsIndex.find(index); found != map->ddsIndex.end()) {
                ddsIndex = found->second;
            }
        }
        return dds.MatchedWriters(ddsIndex);
    });

    const auto readerQos = dds.ProfileReaderQos(dds.QosProfile()).value_or(EndpointQos{});
    const std::string discovery = DiscoveryDescription(dds.Discovery());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(quietPeriod_).count();
    auto describe = [discovery, seconds, watch = watch_](size_t readers) {
        return "No writer matched by any of the " + std::to_string(readers) + " reader(s) for " +
               std::to_string(seconds) +
               " s; other participants discovered: " + std::to_string(watch->KnownParticipants()) +
               "; discovery: " + discovery;
    };
    noMatch_ = std::make_unique<NoMatchWarning>(logger_, quietPeriod_, std::move(describe));
    for (uint32_t index = 0; index < topics.size(); ++index) {
        auto qos = readerQos;
        if (index < security.size()) {
            qos.security = security[index];
        }
        watch_->AddReader(index, topics[index], qos, dds.ReaderGuid(index));
        noMatch_->AddReader();
    }
}

void ReaderDiagnosis::AddLateReader(const componentFramework::DdsSub& dds, uint32_t readerIndex, size_t ddsIndex,
                                    const std::string& topic, const EndpointQos& qos)
{
    {
        std::lock_guard lock(indexMap_->mutex);
        indexMap_->ddsIndex[readerIndex] = ddsIndex;
    }
    watch_->AddLateReader(readerIndex, topic, qos, dds.ReaderGuid(ddsIndex));
}

void ReaderDiagnosis::SetSecurityRefusalHook(DiscoveryWatch::SecurityRefusalHook hook)
{
    watch_->SetSecurityRefusalHook(std::move(hook));
}

void ReaderDiagnosis::Start()
{
    // Only enabled readers are paired with writers: from now on a writer
    // that cannot be read is explained.
    watch_->Activate();
    if (noMatch_) {
        noMatch_->Start();
    }
}

void ReaderDiagnosis::Stop()
{
    if (noMatch_) {
        noMatch_->Stop();
    }
    watch_->Deactivate();
}

void ReaderDiagnosis::SubscriptionMatched(uint32_t readerIndex, int32_t currentCount)
{
    if (noMatch_) {
        noMatch_->MatchedCount(readerIndex, currentCount);
    }
}

void ReaderDiagnosis::IncompatibleQos(uint32_t readerIndex)
{
    watch_->IncompatibleQosReported(readerIndex);
}

} // namespace lumo::ddsDiagnosis
