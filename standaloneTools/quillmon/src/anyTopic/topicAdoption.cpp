#include "topicAdoption.h"

#include <algorithm>
#include <fnmatch.h>

#include <log4cplus/loggingmacros.h>

#include "diagnosedReaderListener.h"
#include "lumo/Format.h"
#include "lumo/componentFramework/AgnosticTopic.h"
#include "lumo/componentFramework/DiscoveryRecords.h"
#include "lumo/componentFramework/FastDdsCompat.h"
#include "quillLog.h"
#include "rawReaderListener.h"

namespace cf = lumo::componentFramework;

namespace anyTopic {

namespace {

std::string KindText(bool keyed)
{
    return keyed ? "keyed" : "keyless";
}

std::string RepresentationText(const std::vector<int16_t>& representations)
{
    if (representations.empty()) {
        return "XCDR1";
    }
    std::string text;
    for (const int16_t representation : representations) {
        text += text.empty() ? "" : "+";
        switch (representation) {
        case cf::XCDR1_REPRESENTATION:
            text += "XCDR1";
            break;
        case cf::XCDR2_REPRESENTATION:
            text += "XCDR2";
            break;
        case cf::XML_REPRESENTATION:
            text += "XML";
            break;
        default:
            text += std::to_string(representation);
        }
    }
    return text;
}

} // namespace

bool GlobMatches(const std::string& glob, const std::string& name)
{
    return fnmatch(glob.c_str(), name.c_str(), 0) == 0;
}

TopicAdoption::TopicAdoption(AnyTopicSettings settings, std::vector<std::string> named, Context context)
    : settings_(std::move(settings))
    , named_(std::move(named))
    , context_(std::move(context))
    , nextIndex_(static_cast<uint32_t>(named_.size()))
{
    // Named topics have their tallies from the start: one whose writers never
    // come is a reader that took no sample.
    for (uint32_t index = 0; index < named_.size(); ++index) {
        if (auto tally = context_.run.TallyFor(named_[index], index)) {
            tally->SetHostLookup(context_.hostLookup);
            namedTallies_[index] = std::move(tally);
        }
    }
}

void TopicAdoption::Poll()
{
    const auto& diagnosis = context_.diagnosis;
    for (uint32_t index = 0; index < named_.size(); ++index) {
        const auto& topic = named_[index];
        const auto writers = diagnosis.WritersOn(topic);
        const auto type = TypeToRead(writers);
        if (!type) {
            continue;
        }
        auto found = adopted_.find(topic);
        if (found == adopted_.end() && !TryAdopt(topic, index, *type)) {
            continue;
        }
        found = adopted_.find(topic);
        SayMixedTypes(topic, writers, found->second.type);
    }
    if (!settings_.allTopicsGlob) {
        return;
    }
    std::vector<std::string> left;
    for (const auto& topic : diagnosis.TopicsWithWriters()) {
        if (!GlobMatches(*settings_.allTopicsGlob, topic)) {
            continue;
        }
        const auto writers = diagnosis.WritersOn(topic);
        auto found = adopted_.find(topic);
        if (found == adopted_.end()) {
            const auto type = TypeToRead(writers);
            if (!type) {
                continue;
            }
            if (adopted_.size() >= MAX_READERS) {
                left.push_back(topic);
                continue;
            }
            if (!TryAdopt(topic, nextIndex_, *type)) {
                continue;
            }
            ++nextIndex_;
            found = adopted_.find(topic);
        }
        SayMixedTypes(topic, writers, found->second.type);
    }
    SayOverCap(left);
}

bool TopicAdoption::TryAdopt(const std::string& topic, uint32_t readerIndex, const TopicType& type)
{
    if (failed_.count(topic) != 0) {
        return false;
    }
    try {
        Adopt(topic, readerIndex, type);
        return true;
    } catch (const cf::DdsError& e) {
        // Said once; the other topics are read on.
        failed_.insert(topic);
        QUILL_LOG_TO(context_.logger, log4cplus::ERROR_LOG_LEVEL, "[{}][{}] Cannot read type \"{}\" ({}): {}", topic,
                     readerIndex, type.typeName, KindText(type.keyed), e.what());
        return false;
    }
}

void TopicAdoption::Adopt(const std::string& topic, uint32_t readerIndex, const TopicType& type)
{
    auto& dds = context_.dds;
    std::shared_ptr<QuillReaderListener> listener;
    size_t ddsIndex = 0;
    const bool agnostic = ReadAsOwnType(type);
    if (agnostic) {
        auto own = std::make_shared<DiagnosedReaderListener>(topic.c_str(), readerIndex, context_.sharedDiagnosis);
        dds.CreateManyDataReaders({cf::DdsReaderParams{topic, own, context_.multicastAddress}});
        ddsIndex = dds.ReaderCount() - 1;
        listener = std::move(own);
    } else {
        auto raw = std::make_shared<RawReaderListener>(topic.c_str(), readerIndex, context_.sharedDiagnosis,
                                                       settings_.seqField);
        ddsIndex = dds.CreateRawDataReader(
            cf::RawReaderParams{topic, type.typeName, type.keyed, raw, context_.multicastAddress});
        listener = std::move(raw);
    }
    std::shared_ptr<quillModel::ReaderTally> tally;
    if (const auto named = namedTallies_.find(readerIndex); named != namedTallies_.end()) {
        tally = named->second;
    } else if ((tally = context_.run.TallyFor(topic, readerIndex))) {
        tally->SetHostLookup(context_.hostLookup);
    }
    if (tally) {
        listener->AttachTally(std::move(tally));
    }
    context_.diagnosis.AddLateReader(dds, readerIndex, ddsIndex, topic, dds.ReaderRequest(ddsIndex));
    listener->ready_.store(true, std::memory_order_release);
    adopted_[topic] = Adopted{listener, type, readerIndex};
    QUILL_LOG_TO(context_.logger, log4cplus::INFO_LOG_LEVEL, "[{}][{}] Reading type \"{}\" ({}){}", topic, readerIndex,
                 type.typeName, KindText(type.keyed), agnostic ? "" : " as raw bytes");
    dds.EnableDataReader(ddsIndex);
}

void TopicAdoption::SayMixedTypes(const std::string& topic, const std::vector<cf::DiscoveredWriter>& writers,
                                  const TopicType& read)
{
    std::map<std::pair<TopicType, std::string>, size_t> kinds;
    for (const auto& writer : writers) {
        ++kinds[{TopicType{writer.qos.typeName, writer.qos.keyed}, RepresentationText(writer.qos.representations)}];
    }
    if (kinds.size() < 2) {
        return;
    }
    std::string text;
    for (const auto& [kind, count] : kinds) {
        text += text.empty() ? "" : ", ";
        text += lumo::format("\"{}\" {} {} ({} writer{})", kind.first.typeName, KindText(kind.first.keyed), kind.second,
                             count, count == 1 ? "" : "s");
    }
    // Each mix, counts included, is said once: discovery names writers one
    // at a time and in no promised order, so the line said last is the one
    // that tells the mix as it stands.
    if (!mixedSaid_[topic].insert(text).second) {
        return;
    }
    QUILL_LOG_TO(context_.logger, log4cplus::WARN_LOG_LEVEL,
                 "[{}] Writers of this topic announce different types or data representations: {}; reading \"{}\" ({})",
                 topic, text, read.typeName, KindText(read.keyed));
}

void TopicAdoption::SayOverCap(const std::vector<std::string>& left)
{
    std::vector<std::string> fresh;
    for (const auto& topic : left) {
        if (overCapSaid_.insert(topic).second) {
            fresh.push_back(topic);
        }
    }
    if (fresh.empty()) {
        return;
    }
    std::string names;
    for (const auto& topic : fresh) {
        names += names.empty() ? "" : " ";
        names += topic;
    }
    QUILL_LOG_TO(context_.logger, log4cplus::WARN_LOG_LEVEL, "--all-topics reads at most {} topics; not read: {}",
                 MAX_READERS, names);
}

std::vector<std::shared_ptr<QuillReaderListener>> TopicAdoption::Listeners() const
{
    std::vector<const Adopted*> byIndex;
    byIndex.reserve(adopted_.size());
    for (const auto& [topic, adopted] : adopted_) {
        byIndex.push_back(&adopted);
    }
    std::sort(byIndex.begin(), byIndex.end(),
              [](const Adopted* a, const Adopted* b) { return a->readerIndex < b->readerIndex; });
    std::vector<std::shared_ptr<QuillReaderListener>> listeners;
    listeners.reserve(byIndex.size());
    for (const auto* adopted : byIndex) {
        listeners.push_back(adopted->listener);
    }
    return listeners;
}

} // namespace anyTopic
