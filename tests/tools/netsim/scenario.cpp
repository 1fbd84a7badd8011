// netsim scenario: the parser of the scenario text. Each line is split into words, ";"
// being a word of its own; a reader per kind of line takes them, and a mistake is thrown
// (require) as its reason, to which parse_scenario adds the line number.
#include <algorithm>
#include <charconv>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

#include "netsim.h"

namespace netsim {

namespace {

using Words = std::span<const std::string>;

// A mistake unless ok: throws why.
void require(bool ok, const std::string& why) {
    if (!ok)
        throw std::invalid_argument(why);
}

// What the word stands for in a table of words, or nullptr.
template <typename T>
const T* named(const std::map<std::string_view, T>& table, const std::string& word) {
    auto row = table.find(word);
    return row == table.end() ? nullptr : &row->second;
}

// The number that word is when it is one from 0 to most, else -1.
long number(const std::string& word, long most) {
    long parsed = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), parsed);
    bool whole = error == std::errc() && end == word.data() + word.size();
    return whole && parsed >= 0 && parsed <= most ? parsed : -1;
}

// An ICMP answer with the header word after its checksum: an error unless kind says.
constexpr Answer icmp(uint8_t type, uint8_t code, uint32_t rest = 0,
                      Answer::Kind kind = Answer::Kind::icmp_error) {
    return {.from = std::nullopt, .kind = kind, .type = type, .code = code, .rest = rest};
}

constexpr Answer kTimeExceeded = icmp(11, 0);
constexpr Answer kEchoReply = icmp(0, 0, 0, Answer::Kind::echo_reply);

// frag-needed tells the next hop's MTU, redirect the gateway 198.19.0.254.
const std::map<std::string_view, Answer> kKinds = {
    {"echo-reply", kEchoReply},           {"time-exceeded", kTimeExceeded},
    {"reassembly-exceeded", icmp(11, 1)}, {"net-unreachable", icmp(3, 0)},
    {"host-unreachable", icmp(3, 1)},     {"protocol-unreachable", icmp(3, 2)},
    {"port-unreachable", icmp(3, 3)},     {"frag-needed", icmp(3, 4, 576)},
    {"source-route-failed", icmp(3, 5)},  {"prohibited", icmp(3, 13)},
    {"parameter-problem", icmp(12, 0)},   {"source-quench", icmp(4, 0)},
    {"redirect", icmp(5, 1, 0xc61300fe)}};

// One option word with its value. Numbers run from 0 to most by step (IP options come
// in words of four bytes); an address option has most 0.
struct Option {
    long most;
    long step;
    void (*set)(Answer&, long);
};

const std::map<std::string_view, Option> kOptions = {
    {"delay", {3600000, 1, [](Answer& a, long n) { a.delay_ms = static_cast<uint32_t>(n); }}},
    {"after", {3600000, 1, [](Answer& a, long n) { a.delay_ms = static_cast<uint32_t>(n); }}},
    {"ttl", {255, 1, [](Answer& a, long n) { a.ttl = static_cast<int>(n); }}},
    {"quote", {65535, 1, [](Answer& a, long n) { a.quote = static_cast<size_t>(n); }}},
    {"options", {40, 4, [](Answer& a, long n) { a.options = static_cast<size_t>(n); }}},
    {"from", {0, 1, [](Answer& a, long n) { a.from = static_cast<uint32_t>(n); }}},
};

// Reads "silent" or "[ADDR] [KIND] [OPTION VALUE]..." over the answer base.
Answer read_answer(Words words, Answer answer) {
    if (!words.empty() && words[0] == "silent") {
        require(words.size() == 1, "nothing may follow 'silent'");
        answer.silent = true;
        return answer;
    }
    std::optional<uint32_t> from = words.empty() ? std::nullopt : parse_address(words[0]);
    size_t i = from ? 1 : 0;
    // A kind replaces the base answer: base answers differ in their kind alone.
    if (const Answer* kind = i < words.size() ? named(kKinds, words[i]) : nullptr) {
        answer = *kind;
        ++i;
    }
    answer.from = from;
    for (; i < words.size(); i += 2) {
        const Option* option = named(kOptions, words[i]);
        require(option != nullptr, "unknown word '" + words[i] + "'");
        require(i + 1 < words.size(), "'" + words[i] + "' needs a value");
        const std::string& value = words[i + 1];
        std::optional<uint32_t> address = parse_address(value);
        long n = option->most > 0 ? number(value, option->most)
                 : address        ? static_cast<long>(*address)
                                  : -1;
        require(n >= 0 && n % option->step == 0, "bad value '" + value + "' for " + words[i]);
        option->set(answer, n);
    }
    return answer;
}

// Splits "a ; b ; c" into its answers.
std::vector<Answer> read_answers(Words words, const Answer& base) {
    std::vector<Answer> answers;
    for (size_t start = 0, end = 0; end <= words.size(); start = ++end) {
        end = std::find(words.begin() + start, words.end(), ";") - words.begin();
        require(start != end, "empty answer");
        answers.push_back(read_answer(words.subspan(start, end - start), base));
    }
    return answers;
}

void read_hop(Words words, Scenario& scenario) {
    require(words.size() >= 3, "hop needs a TTL and an answer");
    const std::string& range = words[1];
    size_t dash = range.find('-');
    long first = number(range.substr(0, dash), 255);
    long last = dash == std::string::npos ? first : number(range.substr(dash + 1), 255);
    require(first >= 1 && last >= first, "bad hop number '" + range + "'");
    Hop hop{static_cast<int>(first), static_cast<int>(last),
            read_answers(words.subspan(2), kTimeExceeded)};
    for (const Answer& answer : hop.answers)
        require(answer.silent || answer.from, "a hop answer needs the router's address");
    scenario.hops.push_back(hop);
}

void read_target(Words words, Scenario& scenario) {
    std::optional<uint32_t> address = words.size() > 1 ? parse_address(words[1]) : std::nullopt;
    require(address.has_value(), "target needs an address");
    Target target{*address, 0, {Answer{}}};
    size_t i = 2;
    if (i + 1 < words.size() && words[i] == "at") {
        long at = number(words[i + 1], 255);
        require(at >= 1, "bad hop number after 'at'");
        target.at = static_cast<int>(at);
        i += 2;
    }
    if (i < words.size())
        target.answers = read_answers(words.subspan(i), Answer{});
    scenario.targets.push_back(target);
}

using What = Injection::What;
// The names of the kinds of noise, in the order of Injection::What.
constexpr std::string_view kWhats[] = {"echo-request", "other-reply",  "earlier", "duplicate",
                                       "truncated",    "bad-checksum", "tiny",    "stranger"};

// "inject probe N|ttl T|every WHAT [answer words]".
void read_injection(Words words, Scenario& scenario) {
    Injection injection;
    size_t i = 2;
    long n = words.size() > 2 ? number(words[2], 1000000) : -1;
    if (n >= 0 && (words[1] == "probe" || words[1] == "ttl")) {
        injection.when = words[1] == "probe" ? Injection::When::probe : Injection::When::ttl;
        injection.number = static_cast<int>(n);
        i = 3;
    } else {
        require(words.size() >= 2 && words[1] == "every",
                "inject needs 'probe N', 'ttl T' or 'every'");
    }
    require(i < words.size(), "inject needs what to send");
    if (const std::string_view* what = std::find(std::begin(kWhats), std::end(kWhats), words[i]);
        what != std::end(kWhats)) {
        injection.what = static_cast<What>(what - std::begin(kWhats));
        ++i;
    }
    What what = injection.what;
    bool reports = what == What::answer || what == What::earlier || what == What::stranger;
    require(!reports || i == words.size() || !parse_address(words[i]),
            "write the sender of an injected packet as 'from ADDR'");
    // A stranger's probe gets a time exceeded unless the line names another error.
    Answer base = what == What::stranger ? kTimeExceeded : Answer{};
    injection.answer = read_answer(words.subspan(i), base);
    bool error = injection.answer.kind == Answer::Kind::icmp_error;
    if (what == What::answer && !error)  // then words[i] is the word it stopped at
        require(false, "unknown injection '" + words[i] + "'");
    require(what != What::stranger || error, "a stranger's probe gets an ICMP error");
    require(!injection.answer.silent, "an injection cannot be silent");
    scenario.injections.push_back(injection);
}

}  // namespace

std::optional<Scenario> parse_scenario(std::string_view text, std::string* error) {
    using LineReader = void (*)(Words, Scenario&);
    static const std::map<std::string_view, LineReader> kLines = {
        {"hop", read_hop}, {"target", read_target}, {"inject", read_injection}};
    Scenario scenario;
    std::istringstream lines{std::string(text)};
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        ++count;
        std::string spaced;
        for (char c : line.substr(0, line.find('#')))
            spaced += c == ';' ? std::string(" ; ") : std::string(1, c);
        std::istringstream split(spaced);
        std::vector<std::string> words{std::istream_iterator<std::string>(split), {}};
        if (words.empty())
            continue;
        try {
            const LineReader* reader = named(kLines, words[0]);
            require(reader != nullptr, "unknown line '" + words[0] + "'");
            (*reader)(words, scenario);
        } catch (const std::invalid_argument& mistake) {
            *error = "line " + std::to_string(count) + ": " + mistake.what();
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
