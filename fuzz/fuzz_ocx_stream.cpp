// Arbitrary bytes as the control's saved stream (IPersistStreamInit): refused with error 321, or
// decoded; decoded entries load into a control or fail with an automation error naming the key,
// and what the control then saves decodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "control/errors.h"
#include "ocx/stream_format.h"
#include "tests/fakes/harness.h"

using namespace varnel;
using namespace varnel::ocx;
using namespace varnel::testing;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<stream::Entry> entries;
    try {
        const std::uint32_t length = stream::PayloadLength(bytes.substr(0, stream::kHeaderSize));
        const std::string_view payload = bytes.substr(stream::kHeaderSize);
        if (payload.size() < length) return 0;  // a truncated stream: the control refuses it
        entries = stream::DecodePayload(payload.substr(0, length));
    } catch (const AutomationError& e) {
        Check(e.Number() == stream::kErrInvalidFormat);
        return 0;
    }
    Harness h;
    h.comm->record = false;
    stream::LoadBag in(entries);
    try {
        h.ctl->ReadProperties(in);
    } catch (const AutomationError& e) {
        Check(e.Description().find("(property \"") != std::string::npos);
        return 0;
    }
    stream::SaveBag out;
    h.ctl->WriteProperties(out);
    const std::string saved = stream::Encode(out.Entries());
    const std::string_view view(saved);
    Check(stream::PayloadLength(view.substr(0, stream::kHeaderSize)) ==
          saved.size() - stream::kHeaderSize);
    Check(stream::Encode(stream::DecodePayload(view.substr(stream::kHeaderSize))) == saved);
    return 0;
}
