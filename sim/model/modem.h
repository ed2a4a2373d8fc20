// A dial-up modem with a flash chip, as the flash program meets it on the
// serial line: an AT command interpreter with echo, a resident flash loader
// (RRFL), an uploadable flash loader that takes S-records, and a flash
// array. Bytes go in and come out with times on a clock that the caller
// owns (virtual in unit tests, real in modemsim). No dependency on the
// flash program itself.
//
// What the modem does with what arrives:
// - Zero bytes (the program's write padding) and LF are ignored everywhere;
//   the byte 0xFF directly after a CR (the end-of-file mark the program
//   sends along after its last line) is ignored too. A line is what stands
//   before a CR.
// - Command mode (firmware running, or the resident loader after the
//   firmware is gone): every byte that is not ignored is echoed as it
//   arrives. A line is a command from its first "AT" (any case) on; a line
//   without "AT" gets no reply. Replies: "\r\n<text>\r\n" where there is
//   text, then "\r\nOK\r\n", or "\r\nERROR\r\n" for what the modem does not
//   know. So after "ATI5\r" the type letter is the 8th byte read (index 7).
// - "at&&f:<Intel hex record>" uploads the flash loader, one record per
//   line: a good record gets OK, a bad one (not hex, wrong length, wrong
//   checksum) gets ERROR. The end-of-file record gets the loader's banner
//   ("Flash Loader Ver:<loader_version>") and OK; the modem then runs the
//   flash loader.
// - Flash-loader mode: no echo. S-record lines get "OK\r\n" or
//   "NOK<n>\r\n". The first good record of a pass erases the whole flash
//   (erase_ms; NOK1 when the erase fails). S0, S5..S9 are acknowledged;
//   S1..S3 are programmed as flash is (bits only go from 1 to 0; NOK4 when
//   a byte would need a 0 turned into a 1, or lies outside the flash).
//   A line that does not start with 'S' (or whose second character is no
//   record type the loader knows, S4) gets NOK2; a record that is not hex,
//   has the wrong length or the wrong checksum gets NOK3. An empty line and
//   a line starting with "AT" (the stray "at&&f" that follows an uploaded
//   loader whose file ends with a line end) get no reply at all, since the
//   program does not wait for them and any text would be taken for the
//   reply to the next record; the checksum command and the custom command,
//   when configured, are still answered there.
//   The bytes 'Z' and 'Y' at the start of a line are commands of their
//   own, without a CR (they are no hex digits): 'Z' erases the whole flash and answers with the
//   banner and OK; 'Y' ends the session. After 'Y' the modem restarts: with its firmware when the
//   last pass reached a termination record (S7..S9) without a failure, else into its resident
//   loader (or dead, without one); when nothing was erased it goes back to where it was.
#pragma once

#include <cstddef>
#include <climits>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace sim {

// Microseconds on the caller's clock.
using usec = int64_t;

enum class Mode {
    Firmware,    // AT commands, the modem's firmware runs
    Resident,    // AT commands, answered by the resident loader (firmware gone)
    FlashLoader, // S-records
    Dead,        // no firmware and no resident loader: answers nothing
};
const char *mode_name(Mode m);

// One scripted or random fault.
struct Fault {
    enum Kind {
        NoReply,   // the line gets no reply at all
        Late,      // the reply comes arg ms later than it would
        Nok,       // the line is refused with NOK<arg> (flash-loader mode) and not processed
        Split,     // the reply's bytes come one at a time, arg ms apart (default 2)
        Garbage,   // arg noise bytes (default 8) before the reply
        Flood,     // arg filler bytes (default 4096) before the reply
        Silence,   // the cable is pulled: from here on nothing goes in or out
        EraseFail, // the erase fails (NOK1 for a record; no banner for 'Z')
    };
    enum Where {
        Command, // the n-th command-mode line (1-based, every line counted)
        Record,  // the n-th flash-loader line (resends counted again)
        Erase,   // the n-th erase (first-record erase or 'Z')
        Text,    // every line that starts with `text` (case-insensitive)
        Time,    // the first line at or after n ms (Silence: from n ms on)
        Always,  // every line (for Random faults: each line by chance)
    };
    Kind kind = NoReply;
    Where where = Always;
    long n = 0;
    std::string text;
    long arg = 0;
    double rate = 1.0; // probability per eligible line (random faults)
    bool used = false; // scripted numbered faults fire once
};

// Parses "kind[:arg]@where[:n|=text]" (e.g. "nok:3@rec:10",
// "late:3000@cmd:5", "silence@time:2000", "noreply@on=ATI5") or, for a
// random fault, "kind[:arg]@rate" (e.g. "noreply@0.01"). Returns false with
// a message in *err on a bad text.
bool parse_fault(const std::string &text, bool random, Fault *out, std::string *err);
std::string fault_help();

struct ModemConfig {
    char type_letter = 'I';             // first character of the ATI5 text
    bool firmware_running = true;       // false: the modem boots into its resident loader
    int rrfl_sector = 64;               // resident loader's sector size: 64, 16, or 0 for none
    unsigned rrfl_checksum = 0x1234;    // resident loader's checksum (16 bits)
    std::string rrfl_version = "1.4";   // banner after AT&&FGO: "Ver:<this>"
    std::string loader_version = "1.4"; // banner after an uploaded loader
    std::string ident_text = "-56K V.90 Quillmarch 3.12"; // after the letter in ATI5
    std::string custom_cmd;   // e.g. "ATI3" (the "AT" may be left off); empty: none
    std::string custom_reply; // its text
    std::string checksum_cmd; // answered in every mode; empty: none
    std::string checksum_reply;
    bool echo = true;
    long latency_ms = 5;  // from a line's CR to its reply
    long erase_ms = 2000; // whole-flash erase
    uint32_t flash_base = 0;
    uint32_t flash_size = 0x20000;
    double line_rate = 11520;         // bytes a second each way; 0: no pacing
    int host_fifo = 14;               // receiver FIFO of the PC's UART (0: every byte at once)
    std::vector<Fault> faults;        // scripted
    std::vector<Fault> random_faults; // by chance
    uint32_t seed = 1;
};

struct TranscriptLine {
    usec at = 0;                // when its CR (or the single character) arrived
    Mode mode = Mode::Firmware; // the mode it was received in
    std::string text;           // the line, without the CR
    bool single_char = false;   // 'Z' or 'Y' taken as a command
    std::string reply; // what the modem answered, as far as it went out before the cable was pulled
    std::vector<usec> reply_at; // when each of its bytes had crossed the line
};

struct Reply {
    usec at = 0;      // when its first byte went on the line
    std::string text; // exactly what was sent (echo not included)
};

struct Counters {
    long bytes_in = 0, bytes_out = 0;
    long lines = 0;          // every line received (empty ones included)
    long commands = 0;       // command-mode lines
    long command_errors = 0; // ERROR replies
    long loader_records = 0; // good uploaded Intel hex records
    long loader_uploads = 0; // end-of-file records accepted
    long records = 0;        // flash-loader lines answered (or to be)
    long records_ok = 0;
    long nok[5] = {0, 0, 0, 0, 0}; // [1]..[4]
    long ignored_lines = 0;        // lines that got no reply by design
    long erases = 0;               // first-record erases and 'Z' erases
    long z_commands = 0, y_commands = 0;
    long bytes_programmed = 0;
    long faults_applied = 0;
    long faults_by_kind[8] = {}; // by Fault::Kind
    long sessions = 0;           // flash-loader sessions started
};

class Modem {
public:
    explicit Modem(ModemConfig cfg = {});

    // Bytes the program wrote, handed over at `now`; with pacing they reach
    // the modem one byte time apart after whatever is still on the line.
    void receive(const uint8_t *p, size_t n, usec now);
    // A character sent ahead of the output queue (TransmitCommChar).
    void priority_char(char c, usec now);

    // Bytes the program can read at `now` (they have crossed the line and
    // left the receiver FIFO), and taking them.
    size_t available(usec now);
    size_t take(uint8_t *out, size_t max, usec now);
    // When the next byte will become readable; -1 when nothing is queued.
    usec next_output_time() const;
    // When the input line is free again (all bytes given so far have arrived).
    usec input_free_at() const { return static_cast<usec>(in_free_ns_ / 1000); }

    Mode mode() const { return mode_; }
    // When the cable was pulled (nothing crosses the line from then on); -1: never.
    usec cable_pulled_at() const {
        return silence_from_ns_ == INT64_MAX ? -1 : silence_from_ns_ / 1000;
    }
    const ModemConfig &config() const { return cfg_; }
    ModemConfig &config() { return cfg_; } // adjust between exchanges

    // The flash array (flash_size bytes at flash_base); tests may preset it.
    std::vector<uint8_t> &flash() { return flash_; }
    const std::vector<uint8_t> &flash() const { return flash_; }
    // The uploaded loader image (64 KB address space of its records).
    const std::vector<uint8_t> &loader_image() const { return loader_image_; }

    const std::vector<TranscriptLine> &transcript() const { return transcript_; }
    const std::vector<Reply> &replies() const { return replies_; }
    const Counters &counters() const { return counters_; }
    // The transcript as text, one line each: "<ms>.<us> <mode> <text>".
    std::string transcript_text() const;

private:
    struct OutByte {
        uint8_t b;
        int64_t end_ns; // when its stop bit is done
    };
    struct Effects;

    void arrive(uint8_t b, usec t);
    void single_char_command(char c, usec t);
    void handle_line(const std::string &line, usec t);
    void command_line(const std::string &line, usec t, Effects &fx);
    void loader_upload(const std::string &rec, usec t, Effects &fx);
    void flash_loader_line(const std::string &line, usec t, Effects &fx);
    bool erase_all(usec t, Effects &fx);
    void reboot_after_session();
    void collect_faults(Fault::Where where, long n, const std::string &line, usec t, Effects &fx);
    void emit(const std::string &text, usec t, const Effects *fx);
    size_t emit_raw(const std::string &bytes, usec t, usec gap); // bytes put on the line
    void pull_cable(usec t);
    void pump_fifo(usec now);
    void flush_fifo();
    std::string noise(long n);
    std::string banner(const char *what, const std::string &version) const;

    ModemConfig cfg_;
    Mode mode_;
    int64_t byte_ns_ = 0;                 // nanoseconds per byte, 0 without pacing
    int64_t in_free_ns_ = 0;              // the input line is busy until then
    int64_t out_free_ns_ = 0;             // the output line is busy until then
    int64_t silence_from_ns_ = INT64_MAX; // the cable is pulled from then on
    usec busy_until_ = 0;                 // the modem works on one line at a time
    std::string line_;
    bool after_cr_ = false;
    bool line_overflow_ = false;

    std::deque<OutByte> wire_;     // on the line or in the PC's FIFO
    size_t fifo_count_ = 0;        // of wire_'s front bytes: arrived, in the FIFO
    std::deque<uint8_t> readable_; // out of the FIFO: the program can read them
    int64_t last_arrival_ns_ = 0;

    std::vector<uint8_t> flash_;
    std::vector<uint8_t> loader_image_;
    bool pass_erased_ = false;    // this flash-loader pass has erased
    bool session_erased_ = false; // something was erased since the loader started
    bool pass_clean_ = false;     // no programming failure since the last erase
    bool image_complete_ = false; // a termination record after the last erase, cleanly
    Mode mode_before_loader_ = Mode::Firmware;
    std::string running_version_;
    uint32_t ext_base_ = 0; // Intel hex extended address of the upload
    long command_no_ = 0, record_no_ = 0, erase_no_ = 0;
    std::mt19937 rng_;

    std::vector<TranscriptLine> transcript_;
    std::vector<Reply> replies_;
    Counters counters_;
};

} // namespace sim
