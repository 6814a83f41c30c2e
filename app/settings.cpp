#include "app/settings.h"

#include <cctype>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "app/number.h"
#include "platform/ini_lookup.h"
#include "platform/resolve_host.h"
#include "relay/datagram.h"

namespace tavorin {

namespace {
constexpr uint32_t kAny = UINT32_MAX;
}  // namespace

// clang-format off
constexpr std::array<Key, static_cast<size_t>(KeyId::kCount)> kKeys = {{
  {KeyId::kProxyPort, "Proxy", "Port", "15000", KeyKind::kListenPort, 0, 65535, false,
   "P: the relay listens on UDP ports P and P+1", &Settings::proxy_port},
  {KeyId::kProxyIp, "Proxy", "IP", "", KeyKind::kListenAddress, 0, 0, false,
   "the one address of this host to listen on; every address when left out",
   &Settings::listen_address},
  {KeyId::kLog, "Proxy", "Log", "packets.txt", KeyKind::kText, 0, 59, false,
   "the log file, in the working directory", &Settings::log},
  {KeyId::kMaxDatagram, "Proxy", "MaxDatagram", "520", KeyKind::kNumber, 1, kLargestDatagram,
   false, "the longest datagram relayed, in bytes, both ways", &Settings::max_datagram},
  {KeyId::kIdleTimeout, "Proxy", "IdleTimeout", "0", KeyKind::kNumber, 0, kAny, true,
   "seconds a link may carry nothing before it is closed; 0: never", &Settings::idle_timeout_s},
  {KeyId::kMaxClients, "Proxy", "MaxClients", "0", KeyKind::kNumber, 0, kAny, true,
   "links per listening port, new clients beyond refused; 0: no limit", &Settings::max_clients},
  {KeyId::kLogLinks, "Proxy", "LogLinks", "0", KeyKind::kNumber, 0, 1, true,
   "1: the log gets a line per link made and closed, and counters", &Settings::log_links},
  {KeyId::kClientRate, "Proxy", "ClientRate", "0", KeyKind::kNumber, 0, kAny, true,
   "datagrams a second one client may send; 0: no limit", &Settings::client_rate},
  {KeyId::kStatusAddress, "Proxy", "StatusAddress", "", KeyKind::kAddressAndPort, 0, 0, false,
   "address:port of the HTTP status listener (/metrics, /health, /links); none when empty",
   &Settings::status_address},
  {KeyId::kDrainSeconds, "Proxy", "DrainSeconds", "0", KeyKind::kNumber, 0, 600, true,
   "seconds a stop refuses new clients while held links go idle; 0: none", &Settings::drain_seconds},
  {KeyId::kAllowClients, "Proxy", "AllowClients", "", KeyKind::kNetworks, 0, 0, true,
   "networks whose clients may come in (10.0.0.0/8, ::1/128); all when empty",
   &Settings::allow_clients},
  {KeyId::kProxyProtocolFrom, "Proxy", "ProxyProtocolFrom", "", KeyKind::kNetworks, 0, 0, false,
   "networks of relays in front that name each client in a PROXY v2 header",
   &Settings::proxy_protocol_from},
  {KeyId::kServerPort, "Server", "Port", "2000", KeyKind::kServerPort, 0, 65535, true,
   "S: datagrams to P go to S, those to P+1 to S+1", &Settings::server_port},
  {KeyId::kServerIp, "Server", "IP", "127.0.0.1", KeyKind::kHost, 0, 59, true,
   "the server: an IPv4 or IPv6 address or a host name", &Settings::server_host},
  {KeyId::kRepliesFromServerOnly, "Server", "RepliesFromServerOnly", "0", KeyKind::kNumber, 0, 1,
   true, "1: links pass on only what comes from the server's address",
   &Settings::replies_from_server_only},
  {KeyId::kFollowServerPort, "Server", "FollowServerPort", "0", KeyKind::kNumber, 0, 1, true,
   "1: a link sends to the port the server last answered it from (TFTP)",
   &Settings::follow_server_port},
  {KeyId::kProxyProtocol, "Server", "ProxyProtocol", "0", KeyKind::kChoice, 0, 2, false,
   "2: every datagram to the server starts with a PROXY protocol v2 header",
   &Settings::proxy_protocol},
  {KeyId::kProxyProtocolOnce, "Server", "ProxyProtocolOnce", "0", KeyKind::kNumber, 0, 1, false,
   "1: with ProxyProtocol=2, the header on the first datagram of each link only",
   &Settings::proxy_protocol_once},
  {KeyId::kTransparent, "Server", "Transparent", "0", KeyKind::kNumber, 0, 1, false,
   "1: the server sees each client's own address (Linux, CAP_NET_ADMIN)", &Settings::transparent},
  {KeyId::kSilenceSeconds, "Server", "SilenceSeconds", "10", KeyKind::kNumber, 0, kAny, true,
   "seconds the server may answer nothing sent to it before it is told silent; 0: never",
   &Settings::silence_seconds},
}};
// clang-format on

namespace {

constexpr bool InOrder() {
  for (size_t i = 0; i < kKeys.size(); ++i) {
    if (static_cast<size_t>(kKeys[i].id) != i)
      return false;
  }
  return true;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

// The longest port value taken, as the relay always has.
constexpr size_t kPortChars = 15;
// Room enough that a long value is judged whole, not cut.
constexpr size_t kLongValueSize = 4096;
// The most of a list of networks that a line about it shows.
constexpr size_t kLongestShown = 120;
// What no settings file holds as a value: the key is not there. Not white space, which the
// Windows reader strips from a default.
constexpr char kAbsent[] = "\x01";

// A value as every key reads it: a `;` after a space or tab starts a comment, spaces around
// are dropped, and a pair of quotes around it is taken off.
std::string Uncommented(std::string text) {
  for (size_t at = text.find(';'); at != std::string::npos; at = text.find(';', at + 1)) {
    if (at > 0 && Blank(text[at - 1])) {
      text.resize(at);
      break;
    }
  }
  while (!text.empty() && Blank(text.back()))
    text.pop_back();
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front())
    text = text.substr(1, text.size() - 2);
  return text;
}

// Text from the file as a line shows it: a control character would act on a terminal.
std::string Printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      c = '?';
  }
  return text;
}

// Reads one key into `s`, with its warnings.
class KeyReader {
 public:
  KeyReader(const Key& key, const std::string& path, Settings& s, const Settings* running)
      : key_(key), path_(path), s_(s), running_(running) {}

  void Read(const IniFile& file) {
    // A list of networks is never cut: a line is as long as the reader takes one.
    const bool list = key_.kind == KeyKind::kNetworks;
    std::string raw =
        file.Value(key_.section, key_.name, kAbsent, list ? kLongestIniLine + 1 : kLongValueSize);
    if (raw == kAbsent)
      raw = key_.fallback;
    found_ = std::string(key_.name) + "=" +
             (list && raw.size() > kLongestShown ? raw.substr(0, kLongestShown) + "..." : raw);
    std::string value = Uncommented(raw);
    if (key_.kind != KeyKind::kText && !list) {
      // One word: what follows it is named, never taken.
      const size_t end = value.find_first_of(" \t");
      if (end != std::string::npos) {
        Warn("has text after the value; using " + value.substr(0, end));
        value.resize(end);
      }
    }
    Take(value);
  }

 private:
  void Warn(const std::string& what) {
    s_.warnings.push_back(Printable(found_) + " in [" + key_.section + "] of " + path_ + " " +
                          Printable(what));
  }
  // Whether, on a reload, the key holds what it runs with: a value that cannot be taken as it
  // is, read as the start read it, is then no new value to refuse.
  bool AsRunning() const {
    return running_ != nullptr && ValueText(s_, key_.id) == ValueText(*running_, key_.id);
  }
  // On a reload, a value that cannot be taken keeps the running one.
  bool KeepRunning(const std::string& what) {
    if (running_ == nullptr)
      return false;
    std::visit([this](auto field) { s_.*field = running_->*field; }, key_.field);
    Warn(what + "; the running value " + ShownValue(*running_, key_.id) + " stays");
    return true;
  }
  template <typename T>
  T& Field() {
    return s_.*std::get<T Settings::*>(key_.field);
  }

  void Take(const std::string& value) {
    switch (key_.kind) {
      case KeyKind::kListenPort:
      case KeyKind::kServerPort:
        return TakePort(value);
      case KeyKind::kListenAddress:
        return TakeListenAddress(value);
      case KeyKind::kHost:
      case KeyKind::kText:
        if (value.size() > key_.high) {
          Warn("is longer than " + std::to_string(key_.high) + " characters; using " +
               value.substr(0, key_.high));
        }
        Field<std::string>() = value.substr(0, key_.high);
        return;
      case KeyKind::kNumber:
      case KeyKind::kChoice:
        return TakeNumber(value);
      case KeyKind::kAddressAndPort:
        return TakeAddressAndPort(value);
      case KeyKind::kNetworks:
        return TakeNetworks(value);
    }
  }

  // A list that lets in, or trusts, whom it should not is worse than none: a value that cannot
  // be read ends the start, and a reload keeps the list that runs.
  void TakeNetworks(const std::string& value) {
    std::string problem;
    if (std::optional<NetworkList> list = NetworkList::Parse(value, &problem)) {
      Field<NetworkList>() = std::move(*list);
      return;
    }
    if (KeepRunning(problem))
      return;
    s_.errors.push_back(Printable(found_) + " in [" + key_.section + "] of " + path_ + " " +
                        Printable(problem) + "; the relay does not start on a list it cannot read");
  }

  // Ports keep their lenient reading, but never in silence.
  void TakePort(const std::string& value) {
    const int32_t number = ParseNumber(value.substr(0, kPortChars));
    Field<int32_t>() = number;
    const bool listening = key_.kind == KeyKind::kListenPort;
    std::optional<uint32_t> plain = ParseWholeNumber(value);
    if (!plain || *plain > 65535) {
      const std::string what = "is not a port number from 0 to 65535";
      if (AsRunning() || !KeepRunning(what))
        Warn(what + "; using port " + std::to_string(PortOf(number)));
    } else if (*plain == 65535) {
      Warn(std::string("puts the second port on 0, ") +
           (listening ? "which the system chooses" : "where no server is"));
    } else if (listening && *plain == 0) {
      Warn("lets the system choose the first listening port and puts the second on port 1");
    }
  }

  // Never wider than the address written: anything else ends the start.
  void TakeListenAddress(const std::string& value) {
    if (value.empty())
      return;  // every address
    if (std::optional<Endpoint> address = ParseAddress(value)) {
      Field<Endpoint>() = *address;
      return;
    }
    if (KeepRunning("is not an IPv4 or IPv6 address of this host"))
      return;
    s_.errors.push_back(Printable(found_) + " in [" + key_.section + "] of " + path_ +
                        " is not an IPv4 or IPv6 address of this host; the relay listens only "
                        "where it is told");
  }

  void TakeAddressAndPort(const std::string& value) {
    if (value.empty())
      return;  // none
    const size_t colon = value.rfind(':');
    std::optional<Endpoint> address;
    std::optional<uint32_t> port;
    if (colon != std::string::npos) {
      address = ParseAddress(value.substr(0, colon));
      port = ParseWholeNumber(value.substr(colon + 1));
    }
    // A bare IPv6 address has colons of its own: it takes brackets before its port.
    const bool bare_v6 = address && address->is_v6() && value[0] != '[';
    if (!address || bare_v6 || !port || *port == 0 || *port > 65535) {
      if (AsRunning() || !KeepRunning("is not an address and port"))
        Warn("is not an address and port (127.0.0.1:9150, [::1]:9150); using none");
      return;
    }
    address->set_port_net(htons(static_cast<uint16_t>(*port)));
    Field<Endpoint>() = *address;
    // Told at the start: a reload keeps the address it started with.
    if (running_ == nullptr && !IsLoopback(*address)) {
      Warn(
          "is not a loopback address: whoever reaches it reads /links, every client's address "
          "and link port (with RepliesFromServerOnly=0 enough to put a datagram into a client's "
          "session); keep it to 127.0.0.1 or ::1, or behind a firewall");
    }
  }

  void TakeNumber(const std::string& value) {
    std::optional<uint32_t> n = ParseWholeNumber(value);
    const bool choice = key_.kind == KeyKind::kChoice;
    if (!n || *n < key_.low || *n > key_.high || (choice && *n != key_.low && *n != key_.high)) {
      const std::string range =
          choice              ? std::to_string(key_.low) + " or " + std::to_string(key_.high)
          : key_.high == kAny ? "a whole number of " + std::to_string(key_.low) + " or more"
                              : "a whole number from " + std::to_string(key_.low) + " to " +
                                    std::to_string(key_.high);
      Store(*ParseWholeNumber(key_.fallback));
      if (AsRunning() || !KeepRunning("is not " + range))
        Warn("is not " + range + "; using " + key_.fallback);
      return;
    }
    Store(*n);
  }
  void Store(uint32_t n) {
    if (std::holds_alternative<bool Settings::*>(key_.field))
      Field<bool>() = n != 0;
    else
      Field<uint32_t>() = n;
  }

  const Key& key_;
  const std::string& path_;
  Settings& s_;
  const Settings* running_;
  std::string found_;
};

// The sections the keys are in, each once, in the table's order.
std::vector<std::string_view> KnownSections() {
  std::vector<std::string_view> sections;
  for (const Key& key : kKeys) {
    if (sections.empty() || sections.back() != key.section)
      sections.push_back(key.section);
  }
  return sections;
}

// Lines about what the file holds besides values, at most a few of each kind: a file of
// garbage would otherwise fill standard error.
class FileNotes {
 public:
  // `what` names the kind in the line of how many more: "unknown or repeated names".
  FileNotes(const std::string& path, const char* what, Settings& s)
      : path_(path), what_(what), s_(s) {}
  ~FileNotes() {
    if (more_ > 0) {
      s_.warnings.push_back(path_ + " holds " + std::to_string(more_) + " more " + what_ +
                            ", not told one by one");
    }
  }
  void Add(std::string line) {
    if (told_ < kMostTold) {
      s_.warnings.push_back(std::move(line));
      ++told_;
    } else {
      ++more_;
    }
  }

 private:
  static constexpr int kMostTold = 8;
  const std::string& path_;
  const char* what_;
  Settings& s_;
  int told_ = 0;
  uint64_t more_ = 0;
};

// A name from the file as a line shows it: printable, and not too long.
std::string Shown(std::string_view name) {
  constexpr size_t kLongest = 40;
  const std::string shown = Printable(std::string(name.substr(0, kLongest)));
  return name.size() > kLongest ? shown + "..." : shown;
}

// The lines of the file that the reader cannot use, each with its number.
void TellUnusableLines(const IniFile& file, const std::string& path, Settings& s) {
  FileNotes notes(path, "lines the reader cannot use", s);
  for (const IniUnusableLine& line : file.unusable_lines()) {
    notes.Add("line " + std::to_string(line.number) + " of " + path + ", \"" + Shown(line.text) +
              "\", " + line.why);
  }
  s.unusable_lines = file.unusable_lines().size();
}

// The keys of the file that the relay does not know, those given twice, and the sections it
// does not know.
void CheckKeys(const IniFile& file, const std::string& path, Settings& s) {
  FileNotes notes(path, "unknown or repeated names", s);
  const std::vector<std::string_view> known = KnownSections();
  for (std::string_view section : known) {
    const std::string name_of_section(section);
    struct Given {
      std::string name;  // as first spelt
      int times;
    };
    std::map<std::string, Given> given;  // by the name in lower case
    for (const std::string& name : file.Keys(name_of_section.c_str())) {
      std::string lower = name;
      for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      auto [at, first] = given.try_emplace(lower, Given{name, 0});
      if (++at->second.times != 1)
        continue;
      bool is_key = false;
      for (const Key& key : kKeys)
        is_key = is_key || (key.section == section && SameName(key.name, name));
      if (!is_key) {
        notes.Add(Shown(name) + " in [" + name_of_section + "] of " + path +
                  " is not a key the relay knows; it is ignored");
      }
    }
    for (const auto& [lower, key] : given) {
      if (key.times < 2)
        continue;
      const std::string first =
          file.Value(name_of_section.c_str(), key.name.c_str(), "", kLongValueSize);
      notes.Add(Shown(key.name) + " in [" + name_of_section + "] of " + path + " is given " +
                std::to_string(key.times) + " times; the first, " + Shown(key.name) + "=" +
                Shown(first) + ", counts");
    }
  }
  std::string sections_known;
  for (std::string_view section : known)
    sections_known += (sections_known.empty() ? "[" : ", [") + std::string(section) + "]";
  std::vector<std::string> told;
  for (const std::string& section : file.Sections()) {
    bool is_known = false;
    for (std::string_view name : known)
      is_known = is_known || SameName(section, name);
    for (const std::string& name : told)
      is_known = is_known || name == section;
    if (!is_known) {
      told.push_back(section);
      notes.Add("[" + Shown(section) + "] in " + path + " is not a section the relay knows (" +
                sections_known + "); its keys are ignored");
    }
  }
}

}  // namespace

static_assert(InOrder(), "kKeys is in the order of KeyId");

std::string KeyLabel(KeyId id) {
  const Key& key = KeyOf(id);
  return std::string(key.name) + " in [" + key.section + "]";
}

Settings ReadSettings(const IniFile& file, const std::string& path, const Settings* running) {
  Settings s;
  if (const std::optional<std::string>& problem = file.problem()) {
    s.warnings.push_back("cannot read " + path + ": " + *problem + "; using the defaults");
  }
  if (const std::optional<std::string>& doubt = file.doubt())
    s.warnings.push_back(path + " " + *doubt);
  TellUnusableLines(file, path, s);
  if (running != nullptr && s.unusable_lines > 0) {
    // Likely a file caught while it is written: none of it is taken.
    Settings kept = *running;
    kept.warnings = std::move(s.warnings);
    kept.errors.clear();
    kept.unusable_lines = s.unusable_lines;
    return kept;
  }
  for (const Key& key : kKeys)
    KeyReader(key, path, s, running).Read(file);
  // Told at the start: neither key changes while the relay runs.
  if (running == nullptr && s.proxy_protocol_once && s.proxy_protocol != 2) {
    s.warnings.push_back(std::string(KeyOf(KeyId::kProxyProtocolOnce).name) + "=1 in [" +
                         KeyOf(KeyId::kProxyProtocolOnce).section + "] of " + path +
                         " does nothing without " + KeyOf(KeyId::kProxyProtocol).name + "=2");
  }
  CheckKeys(file, path, s);
  return s;
}

std::string ValueText(const Settings& s, KeyId id) {
  return std::visit(
      [&s](auto field) {
        const auto& value = s.*field;
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::string>)
          return value;
        else if constexpr (std::is_same_v<T, Endpoint>)
          return !value.known()          ? std::string()
                 : value.port_net() != 0 ? EndpointText(value)
                                         : AddressText(value);
        else if constexpr (std::is_same_v<T, NetworkList>)
          return value.text();
        else if constexpr (std::is_same_v<T, bool>)
          return std::string(value ? "1" : "0");
        else
          return std::to_string(value);
      },
      KeyOf(id).field);
}

std::string ShownValue(const Settings& s, KeyId id) {
  constexpr size_t kLongest = 80;
  const std::string text = ValueText(s, id);
  if (text.empty())
    return "(none)";
  const auto* list = std::get_if<NetworkList Settings::*>(&KeyOf(id).field);
  if (list == nullptr || text.size() <= kLongest)
    return text;
  return text.substr(0, text.rfind(' ', kLongest)) + " ... (" + std::to_string((s.**list).size()) +
         " networks)";
}

std::string KeysHelp() {
  std::string help;
  for (const Key& key : kKeys) {
    std::string entry = std::string("  [") + key.section + "] " + key.name + "=" + key.fallback;
    entry.resize(entry.size() < 32 ? 32 : entry.size() + 1, ' ');
    help += entry + key.help + "\n";
  }
  return help;
}

}  // namespace tavorin
