// The decoders of the records other processes send: the hand-over record, the command request
// and the command reply. Whatever decodes must encode and decode again to the same arguments.
#include "app.h"

#include <algorithm>
#include <cstdlib>
#include <vector>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tavolex::app;
    std::span<const uint8_t> bytes(data, size);

    if (auto request = DecodeCommandRequest(bytes)) {
        auto again = DecodeCommandRequest(EncodeCommandRequest(request->replyId, request->arguments));
        if (!again || again->arguments != request->arguments)
            std::abort();
        RunCommand(request->arguments);
    }
    if (auto reply = DecodeCommandReply(bytes)) {
        auto again = DecodeCommandReply(EncodeCommandReply(*reply));
        if (!again || again->text != reply->text || again->result != reply->result)
            std::abort();
    }
    // Short inputs are spread over a whole hand-over record, so the decoder sees real slots.
    std::vector<uint8_t> record(kHandOverRecordSize, 0);
    std::copy_n(data, std::min(size, record.size()), record.begin());
    if (size >= 1 && size < 512) {
        for (size_t i = 0; i + 4 < record.size(); i += 520)
            std::copy_n(data, std::min<size_t>(size, 4), record.begin() + static_cast<long>(i) + 4);
        record[0] = static_cast<uint8_t>(data[0] & 0x7F);
        record[1] = record[2] = record[3] = 0;
    }
    if (auto arguments = DecodeHandOver(record)) {
        auto again = DecodeHandOver(EncodeHandOver(*arguments));
        if (!again || *again != *arguments)
            std::abort();
    }
    DecodeHandOver(bytes);
    return 0;
}
