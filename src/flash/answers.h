// The answers the flash loader owes to the lines written to it. It answers
// every line it takes, in the order taken, with "OK" or "NOK" and a code, so
// the n-th answer that comes belongs to the n-th write still unanswered.
// Answers are counted here and never guessed: one that comes with no write
// waiting for it shows that the count and the modem's answers fell out of step.
#pragma once

#include <cstdint>

enum {
    ANSWER_NONE = 0, // none yet
    ANSWER_OK = 1,
    ANSWER_NOK_OTHER = 2, // "NOK" without a code the program knows
    ANSWER_NOK1 = 11,
    ANSWER_NOK2 = 12,
    ANSWER_NOK3 = 13,
    ANSWER_NOK4 = 14,
};

// Forgets everything, what is left of a token half read too: a new job.
void answers_clear();
// Starts counting afresh, for the next record or, once every write is
// answered, for the record's next writes; the tail of a token half read
// stays, its rest may come with the next read.
void answers_reset();
// A line went out whole: one more answer is owed.
void answer_owed();
// Bytes as they came from the line, in order, in reads of any size.
void answers_take(const char *bytes, int32_t n);

int32_t answers_owed();  // writes not yet answered
int32_t answers_taken(); // answers matched to writes since the reset
int32_t answers_extra(); // answers that came with no write waiting
int answer_latest();     // the kind of the last answer matched
// 1 when the modem's version banner came before the last answer matched
// (its reply to "Z").
int answer_latest_banner();
// The last answer matched as the modem sent it ("NOK3"), for the NOK
// handling; empty when none.
const char *answer_latest_text();

// One poll of the record's reply wait, what it read taken as answers:
// the wait's result.
unsigned poll_answers(unsigned units);
// Waits up to `units` for every answer owed, as a blocking wait; 1 when they all came.
int await_answers(unsigned units);
