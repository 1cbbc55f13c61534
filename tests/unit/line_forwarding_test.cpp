// Line forwarding: which lines of a batch reach the sink, with what text, and
// what is carried over to the next batch.

#include "capture.h"
#include "relay/lines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <syslog.h>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using namespace std::string_literals;

class Forwarding : public ::testing::Test {
protected:
    void SetUp() override {
        recorded_lines().clear();
        logged_records().clear();
    }

    // Runs forward_lines over a writable copy of `batch` and returns the
    // length it reports consumed.
    std::size_t forward(std::string_view batch) {
        buffer_.assign(batch.begin(), batch.end());
        buffer_.push_back('\x7f');  // room behind the batch, never part of it
        return forward_lines(buffer_.data(), batch.size(), record_line);
    }

    // What reached the sink for `batch`, on a clean record.
    Lines lines_of(std::string_view batch) {
        recorded_lines().clear();
        forward(batch);
        return recorded_lines();
    }

    std::vector<char> buffer_;
};

// --- Which lines are sent ---------------------------------------------------

class LineSelection : public Forwarding {};

TEST_F(LineSelection, SendsOneLineAsOneMessageWithoutItsNewline) {
    EXPECT_EQ(lines_of("connected to gateway\n"), Lines{"connected to gateway"});
}

TEST_F(LineSelection, SendsEveryCompleteLineInOrder) {
    EXPECT_EQ(lines_of("one\ntwo\nthree\n"), (Lines{"one", "two", "three"}));
}

TEST_F(LineSelection, SendsNothingForEmptyLinesOrRunsOfNewlines) {
    EXPECT_EQ(lines_of("\n"), Lines{});
    EXPECT_EQ(lines_of("\n\n\n\n\n"), Lines{});
    EXPECT_EQ(lines_of("a\n\n\nb\n\n"), (Lines{"a", "b"}));
}

TEST_F(LineSelection, SendsNothingForLinesOfSpacesOnly) {
    EXPECT_EQ(lines_of(" \n"), Lines{});
    EXPECT_EQ(lines_of("        \n"), Lines{});
    EXPECT_EQ(lines_of("up\n   \ndown\n"), (Lines{"up", "down"}));
}

TEST_F(LineSelection, SendsNothingForABatchWithoutNewline) {
    EXPECT_EQ(lines_of("no newline yet"), Lines{});
}

TEST_F(LineSelection, LeavesTheUnterminatedTailUnsent) {
    EXPECT_EQ(lines_of("done\nhalf a li"), Lines{"done"});
}

// --- The bracket filter -------------------------------------------------------

class BracketFilter : public Forwarding {};

TEST_F(BracketFilter, DropsLinesContainingBracket) {
    EXPECT_EQ(lines_of("[first byte\n"), Lines{});
    EXPECT_EQ(lines_of("in the mid[dle\n"), Lines{});
    EXPECT_EQ(lines_of("just before the newline[\n"), Lines{});
    EXPECT_EQ(lines_of("   [after spaces\n"), Lines{});
    EXPECT_EQ(lines_of("visible\0hidden [\n"s), Lines{});
}

TEST_F(BracketFilter, DropsOnlyTheLineHoldingTheBracket) {
    EXPECT_EQ(lines_of("before\n[x] noise\nafter\n"), (Lines{"before", "after"}));
    EXPECT_EQ(lines_of("[at the start]\nsecond\n"), Lines{"second"});
    EXPECT_EQ(lines_of("first\nat the end [\n"), Lines{"first"});
}

TEST_F(BracketFilter, KeepsLinesWithOtherBrackets) {
    EXPECT_EQ(lines_of("closing ] only\n"), Lines{"closing ] only"});
    EXPECT_EQ(lines_of("(round) {curly} <angle>\n"), Lines{"(round) {curly} <angle>"});
}

// --- The text that is sent ----------------------------------------------------

class MessageText : public Forwarding {};

TEST_F(MessageText, StripsLeadingSpacesButNotTabs) {
    EXPECT_EQ(lines_of("   three spaces\n"), Lines{"three spaces"});
    EXPECT_EQ(lines_of("\ttab first\n"), Lines{"\ttab first"});
    EXPECT_EQ(lines_of("  \tspaces then tab\n"), Lines{"\tspaces then tab"});
}

TEST_F(MessageText, KeepsInnerAndTrailingSpaces) {
    EXPECT_EQ(lines_of("a  b   \n"), Lines{"a  b   "});
}

TEST_F(MessageText, KeepsCarriageReturn) {
    EXPECT_EQ(lines_of("dos line\r\n"), Lines{"dos line\r"});
    EXPECT_EQ(lines_of("\r\n"), Lines{"\r"});
}

// Through syslog, formatted as syslog would (capture.cpp): a line used as the format shows.
TEST_F(MessageText, KeepsPercentSignsAndConversionsLiterally) {
    char line[] = "100% done %s %d %n %%\n";
    forward_lines(line, std::strlen(line));
    ASSERT_EQ(logged_records().size(), 1U);
    EXPECT_EQ(logged_records()[0].priority, LOG_NOTICE);
    EXPECT_EQ(logged_records()[0].text, "100% done %s %d %n %%");
}

TEST_F(MessageText, KeepsBytesAbove0x7F) {
    EXPECT_EQ(lines_of("caf\xc3\xa9 \xff\x80\xfe\n"), Lines{"caf\xc3\xa9 \xff\x80\xfe"});
}

TEST_F(MessageText, EndsTheTextAtAnEmbeddedNul) {
    EXPECT_EQ(lines_of("kept\0cut off\n"s), Lines{"kept"});
    EXPECT_EQ(lines_of("  kept\0cut\nnext\n"s), (Lines{"kept", "next"}));
}

TEST_F(MessageText, SendsOneEmptyMessageWhenNulFollowsTheSpaces) {
    EXPECT_EQ(lines_of("\0rest\n"s), Lines{""});
    EXPECT_EQ(lines_of("    \0rest\n"s), Lines{""});
}

// --- The consumed length and the buffer ----------------------------------------

class ConsumedLength : public Forwarding {};

TEST_F(ConsumedLength, EndsJustAfterTheLastNewline) {
    EXPECT_EQ(forward(""), 0U);
    EXPECT_EQ(forward("no newline"), 0U);
    EXPECT_EQ(forward("line\n"), 5U);
    EXPECT_EQ(forward("line\ntail"), 5U);
    EXPECT_EQ(forward("\n\n\n"), 3U);
    EXPECT_EQ(forward("[dropped]\ntail"), 10U);
}

TEST_F(ConsumedLength, OverwritesEachNewlineWithNulAndLeavesTheTail) {
    forward("ab\n\ncd\nef");
    EXPECT_EQ(std::string(buffer_.data(), buffer_.size()), "ab\0\0cd\0ef\x7f"s);
}

// --- One line -----------------------------------------------------------------

class SingleLine : public Forwarding {};

TEST_F(SingleLine, SendsExactlyTheGivenLengthAndTerminatesIt) {
    char line[] = "first part|not this";
    forward_line(line, 10, record_line);
    EXPECT_EQ(recorded_lines(), Lines{"first part"});
    EXPECT_EQ(line[10], '\0');
}

TEST_F(SingleLine, AppliesTheLineRules) {
    char spaced[] = "   spaced";
    forward_line(spaced, std::strlen(spaced), record_line);
    char blank[] = "    ";
    forward_line(blank, std::strlen(blank), record_line);
    char bracketed[] = "a[b";
    forward_line(bracketed, std::strlen(bracketed), record_line);
    char empty[] = "x";
    forward_line(empty, 0, record_line);
    EXPECT_EQ(recorded_lines(), Lines{"spaced"});
}

TEST_F(SingleLine, LooksForBracketsPastAnEmbeddedNul) {
    char line[] = "shown\0hidden[";
    forward_line(line, sizeof line - 1, record_line);
    EXPECT_EQ(recorded_lines(), Lines{});
}

// --- Carrying the tail from batch to batch --------------------------------------

class TailCarrying : public Forwarding {
protected:
    // A batch in a relay-sized buffer; returns what forward_batch carries.
    std::size_t forward_in_relay_buffer(std::string_view batch, bool flush) {
        relay_buffer_.assign(kBatchCapacity + 1, '\x7f');
        std::memcpy(relay_buffer_.data(), batch.data(), batch.size());
        return forward_batch(relay_buffer_.data(), batch.size(), flush, record_line);
    }

    std::string front(std::size_t length) const {
        return {relay_buffer_.data(), length};
    }

    std::vector<char> relay_buffer_;
};

TEST_F(TailCarrying, MovesTheTailToTheFront) {
    const std::size_t kept = forward_in_relay_buffer("one\ntwo\npartial", false);
    EXPECT_EQ(recorded_lines(), (Lines{"one", "two"}));
    EXPECT_EQ(kept, 7U);
    EXPECT_EQ(front(kept), "partial");
}

TEST_F(TailCarrying, CarriesNothingAfterAFinalNewline) {
    EXPECT_EQ(forward_in_relay_buffer("one\ntwo\n", false), 0U);
    EXPECT_EQ(recorded_lines(), (Lines{"one", "two"}));
}

TEST_F(TailCarrying, CarriesAWholeBatchWithoutNewline) {
    const std::size_t kept = forward_in_relay_buffer("  [no newline at all", false);
    EXPECT_EQ(kept, 20U);
    EXPECT_EQ(front(kept), "  [no newline at all");
    EXPECT_EQ(recorded_lines(), Lines{});
}

TEST_F(TailCarrying, CompletesACarriedLineWithTheNextBatch) {
    std::size_t kept = forward_in_relay_buffer("first\nsec", false);
    const std::string_view next = "ond\nthi";
    std::memcpy(relay_buffer_.data() + kept, next.data(), next.size());
    kept = forward_batch(relay_buffer_.data(), kept + next.size(), false, record_line);
    EXPECT_EQ(recorded_lines(), (Lines{"first", "second"}));
    EXPECT_EQ(front(kept), "thi");
}

TEST_F(TailCarrying, FlushSendsTheTailAsALineOfItsOwn) {
    EXPECT_EQ(forward_in_relay_buffer("one\nlast words", true), 0U);
    EXPECT_EQ(recorded_lines(), (Lines{"one", "last words"}));
}

TEST_F(TailCarrying, FlushAppliesTheLineRulesToTheTail) {
    forward_in_relay_buffer("a\n   spaced tail", true);
    forward_in_relay_buffer("b\nbracket [tail", true);
    forward_in_relay_buffer("c\n    ", true);
    EXPECT_EQ(recorded_lines(), (Lines{"a", "spaced tail", "b", "c"}));
}

TEST_F(TailCarrying, FlushWithoutATailSendsNothingMore) {
    EXPECT_EQ(forward_in_relay_buffer("only\n", true), 0U);
    EXPECT_EQ(forward_in_relay_buffer("", true), 0U);
    EXPECT_EQ(recorded_lines(), Lines{"only"});
}

TEST_F(TailCarrying, SendsATailThatFillsTheWholeBuffer) {
    const std::string full(kBatchCapacity, 'x');
    EXPECT_EQ(forward_in_relay_buffer(full, false), 0U);
    EXPECT_EQ(recorded_lines(), Lines{full});
}

TEST_F(TailCarrying, KeepsATailOneByteShortOfFull) {
    const std::string almost(kBatchCapacity - 1, 'x');
    EXPECT_EQ(forward_in_relay_buffer(almost, false), kBatchCapacity - 1);
    EXPECT_EQ(recorded_lines(), Lines{});
}

TEST_F(TailCarrying, KeepsALongTailThatFollowsALine) {
    // The buffer is full, but the tail alone does not fill it: it is carried,
    // and the next batch has room to complete it.
    const std::string tail(kBatchCapacity - 2, 'y');
    EXPECT_EQ(forward_in_relay_buffer("a\n" + tail, false), tail.size());
    EXPECT_EQ(recorded_lines(), Lines{"a"});
    EXPECT_EQ(front(tail.size()), tail);
}

TEST_F(TailCarrying, SendsAFullLineEndingAtTheLastByte) {
    const std::string line(kBatchCapacity - 1, 'z');
    EXPECT_EQ(forward_in_relay_buffer(line + "\n", false), 0U);
    EXPECT_EQ(recorded_lines(), Lines{line});
}

// A message belongs at a position inside the held output: what comes before
// it is forwarded, what follows is kept intact for later.
TEST_F(TailCarrying, ForwardsUpToAPositionAndKeepsWhatFollows) {
    relay_buffer_.assign(kBatchCapacity + 1, '\x7f');
    const std::string_view held = "one\nlast wordsNEXT\nnext ";
    std::memcpy(relay_buffer_.data(), held.data(), held.size());
    std::size_t kept = forward_up_to(relay_buffer_.data(), held.size(), 14, true, record_line);
    EXPECT_EQ(recorded_lines(), (Lines{"one", "last words"}));
    EXPECT_EQ(front(kept), "NEXT\nnext ");
    // Without a flush the unterminated part stays, joined with what follows.
    kept = forward_up_to(relay_buffer_.data(), kept, 2, false, record_line);
    EXPECT_EQ(recorded_lines(), (Lines{"one", "last words"}));
    EXPECT_EQ(front(kept), "NEXT\nnext ");
}

// --- The system log -----------------------------------------------------------

class SystemLog : public Forwarding {};

TEST_F(SystemLog, LogsALineAtNoticeAsLiteralText) {
    log_line("50% of %s done %n%n");
    ASSERT_EQ(logged_records().size(), 1U);
    EXPECT_EQ(logged_records()[0].priority, LOG_NOTICE);
    EXPECT_EQ(logged_records()[0].text, "50% of %s done %n%n");
}

TEST_F(SystemLog, IsWhereLinesGoByDefault) {
    char batch[] = "  to the log\n[not this]\n";
    forward_lines(batch, sizeof batch - 1);
    ASSERT_EQ(logged_records().size(), 1U);
    EXPECT_EQ(logged_records()[0].priority, LOG_NOTICE);
    EXPECT_EQ(logged_records()[0].text, "to the log");
}

}  // namespace
