// netsim scenario: the parser of the scenario text.
#include "scenario.h"

#include <algorithm>
#include <charconv>
#include <sstream>

#include "packets.h"

namespace netsim {

namespace {

using Words = std::vector<std::string>;

struct NamedKind {
    const char* name;
    uint8_t type;
    uint8_t code;
};

constexpr NamedKind kNamedKinds[] = {
    {"time-exceeded", 11, 0},     {"reassembly-exceeded", 11, 1}, {"net-unreachable", 3, 0},
    {"host-unreachable", 3, 1},   {"protocol-unreachable", 3, 2}, {"port-unreachable", 3, 3},
    {"frag-needed", 3, 4},        {"source-route-failed", 3, 5},  {"prohibited", 3, 13},
    {"parameter-problem", 12, 0}, {"source-quench", 4, 0},        {"redirect", 5, 1},
};

constexpr uint32_t kDefaultGateway = 0xc61300fe;  // 198.19.0.254
constexpr uint32_t kDefaultMtu = 576;

bool read_number(const std::string& word, long max, long* value) {
    long parsed = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), parsed);
    if (error != std::errc() || end != word.data() + word.size() || parsed < 0 || parsed > max)
        return false;
    *value = parsed;
    return true;
}

// Sets the answer kind named at words[i] (one word, "icmp TYPE CODE" or "unreachable
// CODE") and moves i past it; false when words[i] names no kind. A kind whose numbers
// are missing or bad sets *error.
bool read_kind(const Words& words, size_t& i, Answer& answer, std::string* error) {
    const std::string& word = words[i];
    if (word == "reply" || word == "echo-reply") {
        answer.kind = word == "reply" ? Answer::Kind::reply : Answer::Kind::echo_reply;
        ++i;
        return true;
    }
    if (word == "icmp" || word == "unreachable") {
        size_t needed = word == "icmp" ? 2 : 1;
        long type = 3;
        long code = 0;
        if (i + needed >= words.size()) {
            *error = word + " needs " + (needed == 2 ? "a type and a code" : "a code");
            return true;
        }
        bool ok = needed == 2 ? read_number(words[i + 1], 255, &type) &&
                                    read_number(words[i + 2], 255, &code)
                              : read_number(words[i + 1], 255, &code);
        if (!ok)
            *error = "bad number after " + word;
        answer.kind = Answer::Kind::icmp_error;
        answer.type = static_cast<uint8_t>(type);
        answer.code = static_cast<uint8_t>(code);
        i += needed + 1;
        return true;
    }
    for (const NamedKind& named : kNamedKinds) {
        if (word == named.name) {
            answer.kind = Answer::Kind::icmp_error;
            answer.type = named.type;
            answer.code = named.code;
            if (named.type == 5)
                answer.rest = kDefaultGateway;
            if (named.type == 3 && named.code == 4)
                answer.rest = kDefaultMtu;
            ++i;
            return true;
        }
    }
    return false;
}

// One option word with its value: delay/after, ttl, quote, mtu, gateway, pointer, from,
// options. Numbers run from 0 to most by step (IP options come in words of four bytes);
// an address option has most 0.
struct NamedOption {
    const char* name;
    long most;
    long step;
    void (*set)(Answer&, long);
};

constexpr NamedOption kOptions[] = {
    {"delay", 3600000, 1, [](Answer& a, long n) { a.delay_ms = static_cast<uint32_t>(n); }},
    {"after", 3600000, 1, [](Answer& a, long n) { a.delay_ms = static_cast<uint32_t>(n); }},
    {"ttl", 255, 1, [](Answer& a, long n) { a.ttl = static_cast<int>(n); }},
    {"quote", 65535, 1, [](Answer& a, long n) { a.quote = static_cast<size_t>(n); }},
    {"mtu", 65535, 1, [](Answer& a, long n) { a.rest = static_cast<uint32_t>(n); }},
    {"options", 40, 4, [](Answer& a, long n) { a.options = static_cast<size_t>(n); }},
    {"pointer", 255, 1, [](Answer& a, long n) { a.rest = static_cast<uint32_t>(n) << 24; }},
    {"gateway", 0, 1, [](Answer& a, long n) { a.rest = static_cast<uint32_t>(n); }},
    {"from", 0, 1, [](Answer& a, long n) { a.from = static_cast<uint32_t>(n); }},
};

bool read_option(const Words& words, size_t& i, Answer& answer, std::string* error) {
    const std::string& word = words[i];
    const NamedOption* option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                             [&](const NamedOption& o) { return word == o.name; });
    if (option == std::end(kOptions)) {
        *error = "unknown word '" + word + "'";
        return false;
    }
    if (i + 1 >= words.size()) {
        *error = "'" + word + "' needs a value";
        return false;
    }
    const std::string& value = words[i + 1];
    long number = 0;
    bool ok = false;
    if (option->most == 0) {
        std::optional<uint32_t> address = parse_address(value);
        ok = address.has_value();
        number = address.value_or(0);
    } else {
        ok = read_number(value, option->most, &number) && number % option->step == 0;
    }
    if (!ok) {
        *error = "bad value '" + value + "' for " + word;
        return false;
    }
    option->set(answer, number);
    i += 2;
    return true;
}

// Reads "[ADDR] [KIND] [options]" or "silent" from words[i..].
bool read_answer(const Words& words, size_t i, Answer& answer, std::string* error) {
    if (i < words.size() && words[i] == "silent") {
        answer.silent = true;
        if (i + 1 != words.size())
            *error = "nothing may follow 'silent'";
        return error->empty();
    }
    if (i < words.size()) {
        if (std::optional<uint32_t> address = parse_address(words[i])) {
            answer.from = address;
            ++i;
        }
    }
    if (i < words.size() && read_kind(words, i, answer, error) && !error->empty())
        return false;
    while (i < words.size()) {
        if (!read_option(words, i, answer, error))
            return false;
    }
    return true;
}

// Splits "a ; b ; c" into its answers, each read with read_answer.
bool read_answers(const Words& words, size_t i, Answer base, std::vector<Answer>& answers,
                  std::string* error) {
    Words part;
    for (size_t k = i; k <= words.size(); ++k) {
        if (k < words.size() && words[k] != ";") {
            part.push_back(words[k]);
            continue;
        }
        Answer answer = base;
        if (part.empty()) {
            *error = "empty answer";
            return false;
        }
        if (!read_answer(part, 0, answer, error))
            return false;
        answers.push_back(answer);
        part.clear();
    }
    return true;
}

bool read_hop(const Words& words, Scenario& scenario, std::string* error) {
    if (words.size() < 3) {
        *error = "hop needs a TTL and an answer";
        return false;
    }
    Hop hop;
    std::string range = words[1];
    size_t dash = range.find('-');
    long first = 0;
    long last = 0;
    bool ok =
        read_number(range.substr(0, dash), 255, &first) &&
        read_number(dash == std::string::npos ? range.substr(0, dash) : range.substr(dash + 1), 255,
                    &last);
    if (!ok || first < 1 || last < first) {
        *error = "bad hop number '" + range + "'";
        return false;
    }
    hop.first = static_cast<int>(first);
    hop.last = static_cast<int>(last);
    Answer base;
    base.kind = Answer::Kind::icmp_error;
    base.type = 11;
    if (!read_answers(words, 2, base, hop.answers, error))
        return false;
    for (const Answer& answer : hop.answers) {
        if (!answer.silent && !answer.from) {
            *error = "a hop answer needs the router's address";
            return false;
        }
    }
    scenario.hops.push_back(hop);
    return true;
}

bool read_target(const Words& words, Scenario& scenario, std::string* error) {
    Target target;
    std::optional<uint32_t> address = words.size() > 1 ? parse_address(words[1]) : std::nullopt;
    if (!address) {
        *error = "target needs an address";
        return false;
    }
    target.address = *address;
    size_t i = 2;
    long at = 0;
    if (i + 1 < words.size() && words[i] == "at") {
        if (!read_number(words[i + 1], 255, &at) || at < 1) {
            *error = "bad hop number after 'at'";
            return false;
        }
        target.at = static_cast<int>(at);
        i += 2;
    }
    if (i == words.size())
        target.answers.push_back(Answer{});
    else if (!read_answers(words, i, Answer{}, target.answers, error))
        return false;
    scenario.targets.push_back(target);
    return true;
}

// "inject probe N|ttl T|every WHAT [answer words]".
bool read_injection(const Words& words, Scenario& scenario, std::string* error) {
    static const std::pair<const char*, Injection::What> kWhats[] = {
        {"echo-request", Injection::What::echo_request},
        {"other-reply", Injection::What::other_reply},
        {"earlier", Injection::What::earlier},
        {"duplicate", Injection::What::duplicate},
        {"truncated", Injection::What::truncated},
        {"bad-checksum", Injection::What::bad_checksum},
        {"tiny", Injection::What::tiny},
        {"stranger", Injection::What::stranger},
    };
    Injection injection;
    size_t i = 1;
    long number = 0;
    if (i < words.size() && words[i] == "every") {
        injection.when = Injection::When::every;
        i += 1;
    } else if (i + 1 < words.size() && (words[i] == "probe" || words[i] == "ttl") &&
               read_number(words[i + 1], 1000000, &number)) {
        injection.when = words[i] == "probe" ? Injection::When::probe : Injection::When::ttl;
        injection.number = static_cast<int>(number);
        i += 2;
    } else {
        *error = "inject needs 'probe N', 'ttl T' or 'every'";
        return false;
    }
    if (i == words.size()) {
        *error = "inject needs what to send";
        return false;
    }
    for (const auto& [name, what] : kWhats) {
        if (words[i] == name) {
            injection.what = what;
            ++i;
            break;
        }
    }
    if (injection.what == Injection::What::answer || injection.what == Injection::What::earlier ||
        injection.what == Injection::What::stranger) {
        if (i < words.size() && parse_address(words[i])) {
            *error = "write the sender of an injected packet as 'from ADDR'";
            return false;
        }
    }
    if (!read_answer(words, i, injection.answer, error))
        return false;
    if (injection.what == Injection::What::answer &&
        injection.answer.kind != Answer::Kind::icmp_error) {
        *error = "unknown injection '" + words[i] + "'";
        return false;
    }
    if (injection.what == Injection::What::stranger &&
        injection.answer.kind != Answer::Kind::icmp_error) {
        if (injection.answer.kind != Answer::Kind::reply) {
            *error = "a stranger's probe gets an ICMP error";
            return false;
        }
        injection.answer.kind = Answer::Kind::icmp_error;
        injection.answer.type = 11;
        injection.answer.code = 0;
    }
    if (injection.answer.silent) {
        *error = "an injection cannot be silent";
        return false;
    }
    scenario.injections.push_back(injection);
    return true;
}

}  // namespace

std::optional<Scenario> parse_scenario(std::string_view text, std::string* error) {
    Scenario scenario;
    std::istringstream lines{std::string(text)};
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        line = line.substr(0, line.find('#'));
        std::string spaced;
        for (char c : line)
            spaced += c == ';' ? std::string(" ; ") : std::string(1, c);
        std::istringstream split(spaced);
        Words words;
        for (std::string word; split >> word;)
            words.push_back(word);
        if (words.empty())
            continue;
        using LineReader = bool (*)(const Words&, Scenario&, std::string*);
        static const std::pair<const char*, LineReader> kLines[] = {
            {"hop", read_hop}, {"target", read_target}, {"inject", read_injection}};
        std::string why = "unknown line '" + words[0] + "'";
        bool ok = false;
        for (const auto& [name, read_line] : kLines) {
            if (words[0] == name) {
                why.clear();
                ok = read_line(words, scenario, &why);
            }
        }
        if (!ok) {
            *error = "line " + std::to_string(number) + ": " + why;
            return std::nullopt;
        }
    }
    int past_hops = 1;
    for (const Hop& hop : scenario.hops)
        past_hops = std::max(past_hops, hop.last + 1);
    for (Target& target : scenario.targets) {
        if (target.at == 0)
            target.at = std::min(past_hops, 255);
    }
    return scenario;
}

}  // namespace netsim
