// The listener of a reader that takes a topic of any type as raw bytes: the
// same status lines, statistics and per-writer tallies as the AgnosticTopic
// reader's, with the sample id read from the bytes when a field is given,
// and judged by RTPS sequence numbers alone otherwise. No payload check
// applies: the payload's layout is not known.
#pragma once

#include <memory>
#include <optional>

#include <fastdds/dds/core/LoanableSequence.hpp>

#include "diagnosedReaderListener.h"
#include "lumo/componentFramework/RawTopicType.h"
#include "seqField.h"

namespace anyTopic {

class RawReaderListener : public DiagnosedReaderListener
{
public:
    RawReaderListener(const char* topicName, unsigned short readerIndex,
                      std::shared_ptr<lumo::ddsDiagnosis::ReaderDiagnosis> diagnosis, std::optional<SeqField> seqField);

    void on_data_available(eprosima::fastdds::dds::DataReader* reader) override;

private:
    void Intake(const eprosima::fastdds::dds::SampleInfo& info, const std::vector<uint8_t>& bytes);
    void ReturnRawLoan(eprosima::fastdds::dds::DataReader* reader);

    const std::optional<SeqField> seqField_;
    eprosima::fastdds::dds::LoanableSequence<lumo::componentFramework::compat::RawSample> rawSeq_;
};

} // namespace anyTopic
