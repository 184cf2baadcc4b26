#include "rawReaderListener.h"

#include <exception>

#include <fastdds/dds/subscriber/DataReader.hpp>
#include <log4cplus/loggingmacros.h>

#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/componentFramework/Retcode.h"
#include "quillLog.h"

namespace fdds = eprosima::fastdds::dds;
namespace compat = lumo::componentFramework::compat;
using lumo::componentFramework::RetcodeToString;

namespace anyTopic {

namespace {

// The encapsulation header that precedes every serialized sample.
constexpr size_t ENCAPSULATION_BYTES = 4;

} // namespace

RawReaderListener::RawReaderListener(const char* topicName, unsigned short readerIndex,
                                     std::shared_ptr<lumo::ddsDiagnosis::ReaderDiagnosis> diagnosis,
                                     std::optional<SeqField> seqField)
    : DiagnosedReaderListener(topicName, readerIndex, std::move(diagnosis))
    , seqField_(seqField)
{
}

void RawReaderListener::on_data_available(fdds::DataReader* reader)
{
    if (!ready_.load(std::memory_order_acquire)) {
        return;
    }
    std::lock_guard intake(intakeMutex_);
    UpdateRate();
    try {
        const auto rc = reader->take(rawSeq_, infoSeq_, fdds::LENGTH_UNLIMITED, fdds::ANY_SAMPLE_STATE,
                                     fdds::ANY_VIEW_STATE, fdds::ANY_INSTANCE_STATE);
        if (!compat::IsOk(rc)) {
            QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {} Error: {}.", topicName_,
                         readerIndex_, currentSampleId_, RetcodeToString(compat::RetcodeValue(rc)));
            return;
        }
        const auto count = rawSeq_.length();
        for (fdds::LoanableCollection::size_type i = 0; i < count; ++i) {
            Intake(infoSeq_[i], rawSeq_[i].bytes);
        }
        ReturnRawLoan(reader);
        Throttle();
    } catch (const std::exception& e) {
        QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {} Exception: {}.", topicName_,
                     readerIndex_, currentSampleId_, e.what());
        if (!rawSeq_.has_ownership()) {
            ReturnRawLoan(reader);
        }
    }
}

void RawReaderListener::Intake(const fdds::SampleInfo& info, const std::vector<uint8_t>& bytes)
{
    const auto& tally = Tally();
    if (!info.valid_data) {
        // A dispose or an unregistration: its sequence number was delivered.
        if (tally) {
            tally->ObserveNoData(info);
        }
        return;
    }
    const uint64_t payloadBytes = bytes.size() > ENCAPSULATION_BYTES ? bytes.size() - ENCAPSULATION_BYTES : 0;
    if (!seqField_) {
        const auto step = tally ? tally->Observe(info, quillModel::SampleFacts{0, payloadBytes, false},
                                                 quillModel::PayloadVerdict{})
                                : quillModel::ContinuityStep{};
        IntakeUnnumbered(payloadBytes, step.middlewareLost);
        return;
    }
    const auto id = seqField_->Read(bytes);
    if (!id) {
        // Too short to hold the field: counted, not judged.
        if (tally) {
            tally->ObserveUndecodable(info);
        }
        return;
    }
    currentSampleId_ = *id;
    if (tally) {
        tally->Observe(info, quillModel::SampleFacts{*id, payloadBytes}, quillModel::PayloadVerdict::NotChecked);
    }
    IntakeSample(payloadBytes);
}

void RawReaderListener::ReturnRawLoan(fdds::DataReader* reader)
{
    const auto rc = reader->return_loan(rawSeq_, infoSeq_);
    if (!compat::IsOk(rc)) {
        QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {} Error during return loan: {}.",
                     topicName_, readerIndex_, currentSampleId_, RetcodeToString(compat::RetcodeValue(rc)));
    }
}

} // namespace anyTopic
