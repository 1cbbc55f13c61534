// Feeds an arbitrary byte stream through forward_batch the way the relay
// thread does: in batches of arbitrary sizes, each batch's new bytes appended
// behind the tail carried from the one before, with idle ends here and there
// and a final flush, as at a drain. What reaches the sink must be exactly
// what the reference model below derives from the stream alone; anything else
// (or a crash, or a sanitizer report) aborts.
//
// The input: the first part describes the stream (literal chunks, and runs of
// one byte, so that small inputs reach lines longer than a batch); what is
// left chooses the size of each batch and where an idle end falls. Once the
// input runs out, each batch takes all the room it has.

#include "relay/lines.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// --- The reference model ---------------------------------------------------------
//
// The stream is cut into lines at each newline and at each point where an
// idle end flushed the tail (what follows the last cut is one more line,
// flushed at the end). A line of kBatchCapacity bytes or more cannot be held
// whole: the carried tail is sent as soon as it alone fills the buffer, so the
// line leaves as consecutive pieces of kBatchCapacity bytes, and what remains
// after the last full piece is a line like any other. Each line or piece is
// then judged alone: dropped if it holds '[', stripped of its leading spaces,
// dropped if nothing is left, and otherwise sent up to its first NUL.

void send_piece(std::string_view piece, Lines& sent) {
    if (piece.find('[') != std::string_view::npos) {
        return;
    }
    const std::size_t text = piece.find_first_not_of(' ');
    if (text == std::string_view::npos) {
        return;
    }
    piece.remove_prefix(text);
    sent.emplace_back(piece.substr(0, piece.find('\0')));
}

void send_line(std::string_view line, Lines& sent) {
    while (line.size() >= kBatchCapacity) {
        send_piece(line.substr(0, kBatchCapacity), sent);
        line.remove_prefix(kBatchCapacity);
    }
    send_piece(line, sent);
}

// `flushes`: stream offsets, in order, at which an idle end flushed the tail.
Lines reference(std::string_view stream, const std::vector<std::size_t>& flushes) {
    Lines sent;
    std::size_t start = 0;
    std::size_t next_flush = 0;
    for (std::size_t at = 0; at <= stream.size(); ++at) {
        while (next_flush < flushes.size() && flushes[next_flush] == at) {
            send_line(stream.substr(start, at - start), sent);
            start = at;
            ++next_flush;
        }
        if (at < stream.size() && stream[at] == '\n') {
            send_line(stream.substr(start, at - start), sent);
            start = at + 1;
        }
    }
    send_line(stream.substr(start), sent);
    return sent;
}

// --- The relay under test -------------------------------------------------------------

Lines* forwarded = nullptr;

void record(const char* line) {
    forwarded->emplace_back(line);
}

std::string shown(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, 60)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    if (text.size() > 60) {
        out += "...";
    }
    return out;
}

[[noreturn]] void fail(const char* what, const Lines& got, const Lines& want) {
    std::fprintf(stderr, "forward_batch: %s\n", what);
    std::fprintf(stderr, "  forwarded %zu lines, model %zu\n", got.size(), want.size());
    const std::size_t common = std::min(got.size(), want.size());
    std::size_t first = 0;
    while (first < common && got[first] == want[first]) {
        ++first;
    }
    if (first < got.size()) {
        std::fprintf(stderr, "  forwarded[%zu] (%zu bytes): \"%s\"\n", first, got[first].size(),
                     shown(got[first]).c_str());
    }
    if (first < want.size()) {
        std::fprintf(stderr, "  model[%zu]     (%zu bytes): \"%s\"\n", first, want[first].size(),
                     shown(want[first]).c_str());
    }
    std::abort();
}

void check(bool holds, const char* what) {
    if (!holds) {
        fail(what, *forwarded, {});
    }
}

std::string make_stream(FuzzedDataProvider& input) {
    std::string stream;
    const int chunks = input.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < chunks && input.remaining_bytes() > 0; ++i) {
        if (input.ConsumeBool()) {
            const auto length = input.ConsumeIntegralInRange<std::size_t>(0, 3 * kBatchCapacity);
            stream.append(length, input.ConsumeIntegral<char>());
        } else {
            stream += input.ConsumeRandomLengthString(1024);
        }
    }
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string stream = make_stream(input);

    Lines got;
    forwarded = &got;
    // As the relay thread's buffer: one byte beyond a full batch.
    std::vector<char> buffer(kBatchCapacity + 1);
    std::vector<std::size_t> flushes;
    std::size_t kept = 0;
    std::size_t fed = 0;
    while (fed < stream.size()) {
        // A data batch: new bytes behind the carried tail, at most a full buffer.
        const std::size_t room = kBatchCapacity - kept;
        std::size_t fresh = input.remaining_bytes() > 0 ? input.ConsumeIntegralInRange<std::size_t>(1, room) : room;
        fresh = std::min(fresh, stream.size() - fed);
        std::memcpy(buffer.data() + kept, stream.data() + fed, fresh);
        fed += fresh;
        kept = forward_batch(buffer.data(), kept + fresh, false, record);

        check(kept < kBatchCapacity, "carried a full buffer");
        check(kept <= fed, "carried more than was fed");
        check(std::memcmp(buffer.data(), stream.data() + fed - kept, kept) == 0,
              "the carried bytes are not the end of what was fed");
        check(std::memchr(buffer.data(), '\n', kept) == nullptr, "carried a newline");

        // An idle end, which the relay reports only while a tail is carried.
        if (kept > 0 && input.remaining_bytes() > 0 && input.ConsumeIntegralInRange(0, 7) == 0) {
            kept = forward_batch(buffer.data(), kept, true, record);
            check(kept == 0, "an idle flush left a tail");
            flushes.push_back(fed);
        }
    }
    // The drain at the client's end.
    check(forward_batch(buffer.data(), kept, true, record) == 0, "the final flush left a tail");

    const Lines want = reference(stream, flushes);
    if (got != want) {
        fail("forwarded lines differ from the model", got, want);
    }
    forwarded = nullptr;
    return 0;
}
