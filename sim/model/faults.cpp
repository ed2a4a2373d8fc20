#include <cstdlib>

#include "model/modem.h"

namespace sim {

namespace {

bool number(const std::string &s, long *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end || v < 0) return false;
    *out = v;
    return true;
}

} // namespace

std::string fault_help() {
    return "  A fault is KIND[:ARG]@WHERE (scripted) or KIND[:ARG]@RATE (random, --random).\n"
           "  KIND: noreply        the line gets no reply\n"
           "        late:MS        the reply comes MS ms late\n"
           "        nok:N          the record is refused with NOK<N> (commands: ERROR)\n"
           "        split[:MS]     the reply comes one byte at a time, MS ms apart (2)\n"
           "        garbage[:N]    N noise bytes before the reply (8)\n"
           "        flood[:N]      N noise bytes before the reply (4096)\n"
           "        silence        the cable is pulled: nothing in or out from then on\n"
           "        erasefail      the erase fails (NOK1; no banner after Z)\n"
           "  WHERE: cmd:N         the N-th command-mode line (1-based)\n"
           "         rec:N         the N-th flash-loader line (resends count)\n"
           "         erase:N       the N-th erase (erasefail only)\n"
           "         on=TEXT       every line starting with TEXT (any case)\n"
           "         time:MS       the first line at or after MS ms (silence: from MS ms on)\n"
           "         always        every line\n"
           "  RATE: a probability per line, 0 to 1 (e.g. noreply@0.02)\n";
}

bool parse_fault(const std::string &text, bool random, Fault *out, std::string *err) {
    Fault f;
    size_t at = text.find('@');
    if (at == std::string::npos) {
        *err = "fault \"" + text + "\": missing '@' (KIND[:ARG]@WHERE)";
        return false;
    }
    std::string kind = text.substr(0, at), where = text.substr(at + 1), arg;
    size_t colon = kind.find(':');
    if (colon != std::string::npos) {
        arg = kind.substr(colon + 1);
        kind = kind.substr(0, colon);
        if (!number(arg, &f.arg)) {
            *err = "fault \"" + text + "\": \"" + arg + "\" is not a whole number";
            return false;
        }
    }
    static const struct {
        const char *name;
        Fault::Kind kind;
    } kinds[] = {{"noreply", Fault::NoReply}, {"late", Fault::Late},
                 {"nok", Fault::Nok},         {"split", Fault::Split},
                 {"garbage", Fault::Garbage}, {"flood", Fault::Flood},
                 {"silence", Fault::Silence}, {"erasefail", Fault::EraseFail}};
    bool known = false;
    for (const auto &k : kinds)
        if (kind == k.name) {
            f.kind = k.kind;
            known = true;
        }
    if (!known) {
        *err = "fault \"" + text + "\": unknown kind \"" + kind + "\"";
        return false;
    }
    if (f.kind == Fault::Nok && (f.arg < 1 || f.arg > 4)) {
        *err = "fault \"" + text + "\": nok needs a code from 1 to 4 (nok:3)";
        return false;
    }
    if (f.kind == Fault::Late && colon == std::string::npos) {
        *err = "fault \"" + text + "\": late needs a delay in ms (late:3000)";
        return false;
    }
    if (random) {
        char *end = nullptr;
        f.rate = std::strtod(where.c_str(), &end);
        if (where.empty() || *end || f.rate < 0 || f.rate > 1) {
            *err = "random fault \"" + text + "\": the rate must be a number from 0 to 1";
            return false;
        }
        if (f.kind == Fault::Silence) {
            *err = "random fault \"" + text + "\": silence can only be scripted";
            return false;
        }
        f.where = Fault::Always;
        *out = f;
        return true;
    }
    size_t sep = where.find_first_of(":=");
    std::string place = where.substr(0, sep),
                value = sep == std::string::npos ? "" : where.substr(sep + 1);
    if (place == "always" && sep == std::string::npos) {
        f.where = Fault::Always;
    } else if (place == "on" && sep != std::string::npos && where[sep] == '=' && !value.empty()) {
        f.where = Fault::Text;
        f.text = value;
    } else if ((place == "cmd" || place == "rec" || place == "erase" || place == "time") &&
               sep != std::string::npos && number(value, &f.n)) {
        f.where = place == "cmd"     ? Fault::Command
                  : place == "rec"   ? Fault::Record
                  : place == "erase" ? Fault::Erase
                                     : Fault::Time;
    } else {
        *err = "fault \"" + text + "\": \"" + where +
               "\" is no place (cmd:N, rec:N, erase:N, on=TEXT, time:MS, always)";
        return false;
    }
    if ((f.where == Fault::Erase) != (f.kind == Fault::EraseFail) && f.where == Fault::Erase) {
        *err = "fault \"" + text + "\": erase:N goes with erasefail only";
        return false;
    }
    *out = f;
    return true;
}

} // namespace sim
