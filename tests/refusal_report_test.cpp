// The lines the program writes about refused clients, from the Listener's counts over time.
#include <gtest/gtest.h>

#include "app/drop_report.h"
#include "app/refusal_report.h"
#include "app/silence_report.h"
#include "platform/udp_socket.h"

namespace tavorin {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class RefusalReportTest : public ::testing::Test {
 protected:
  std::optional<std::string> At(milliseconds when) {
    return report_.Check(counters_, start_ + when);
  }
  // `n` new clients refused, a datagram each, or (`again`) `n` more datagrams from clients
  // refused before in the same run.
  void Refuse(int n, Step step = Step::kSocket, int error = 24, bool again = false) {
    for (int i = 0; i < n; ++i)
      counters_.CountRefused(Outcome::Failed(step, error), !again);
  }
  void Make(int n) {
    for (int i = 0; i < n; ++i)
      counters_.CountMade();
  }

  LinkCounters counters_;
  RefusalReport report_{15000};
  RefusalReport::Clock::time_point start_ = RefusalReport::Clock::now();
};

TEST_F(RefusalReportTest, OneLineToBeginAtMostOneEveryTenSecondsAndOneToEnd) {
  Make(3);
  EXPECT_EQ(At(milliseconds(0)), std::nullopt) << "links made are no news";
  Refuse(5000);
  std::optional<std::string> begin = At(milliseconds(500));
  ASSERT_TRUE(begin.has_value()) << "a flood of refusals is one line";
  EXPECT_EQ(*begin, "tavorin: port 15000: new clients are refused (no socket: " + ErrorText(24) +
                        "); 3 links held");

  for (int tick = 2; tick < 21; ++tick) {  // up to 10 s after the first line
    Refuse(100);
    EXPECT_EQ(At(milliseconds(500 * tick)), std::nullopt) << tick;
  }
  Refuse(100);
  EXPECT_EQ(At(milliseconds(10500)),
            "tavorin: port 15000: 2000 more new clients refused (no socket: " + ErrorText(24) +
                "); 3 links held");
  EXPECT_EQ(At(seconds(30)), std::nullopt) << "no line when nothing more was refused";
  Refuse(20, Step::kSocket, 24, true);
  EXPECT_EQ(At(milliseconds(30500)), std::nullopt)
      << "clients refused before that try again are no new clients";

  Refuse(7, Step::kThread, 11);
  EXPECT_EQ(At(seconds(31)), "tavorin: port 15000: 7 more new clients refused (no thread: " +
                                 ErrorText(11) + "); 3 links held")
      << "quiet for longer than 10 s: the next refusal is told at once";
  Make(1);
  EXPECT_EQ(At(milliseconds(31500)), std::nullopt) << "within 10 s of the line before";
  EXPECT_EQ(At(seconds(41)),
            "tavorin: port 15000: links can be made again; 4 links held, 7027 datagrams from "
            "7007 new clients were refused");
  Make(1);
  EXPECT_EQ(At(seconds(52)), std::nullopt);

  Refuse(1, Step::kMemory, 0);
  EXPECT_EQ(At(milliseconds(52500)),
            "tavorin: port 15000: new clients are refused (no memory); 5 links held")
      << "a new run of refusals begins with its own line";
  // Resources freed one at a time: links made and refused in turn, never two lines in 10 s.
  for (int tick = 106; tick < 140; ++tick) {
    if (tick % 2 == 0) {
      Make(1);
    } else {
      Refuse(1);
    }
    std::optional<std::string> line = At(milliseconds(500 * tick));
    EXPECT_EQ(line.has_value(), tick == 125) << tick << ": " << line.value_or("");
  }
}

TEST_F(RefusalReportTest, OneOfEachIsSingular) {
  Make(1);
  Refuse(1, Step::kLimit, 1);
  EXPECT_EQ(At(seconds(0)),
            "tavorin: port 15000: new clients are refused (limit of 1 links reached); 1 link held");
  Refuse(1, Step::kLimit, 1);
  EXPECT_EQ(At(seconds(11)),
            "tavorin: port 15000: 1 more new client refused (limit of 1 links reached); 1 link "
            "held");
  Make(1);
  EXPECT_EQ(At(seconds(22)),
            "tavorin: port 15000: links can be made again; 2 links held, 2 datagrams from 2 new "
            "clients were refused");
  Refuse(1);
  EXPECT_TRUE(At(seconds(33)).has_value());
  Make(1);
  EXPECT_EQ(At(seconds(44)),
            "tavorin: port 15000: links can be made again; 3 links held, 1 datagram from 1 new "
            "client was refused");
}

// Clients outside AllowClients are told apart from the refusals for want of a resource, at the
// same pace, each line with the latest client; a link made ends no run of theirs.
TEST_F(RefusalReportTest, ClientsOutsideTheAccessListHaveLinesOfTheirOwn) {
  const Endpoint first = MakeEndpoint(htonl(0xC0000207), htons(40000));
  const Endpoint second = MakeEndpoint6(in6addr_loopback, htons(5060));
  struct Step {
    milliseconds at;
    const Endpoint* client;
    int datagrams;  // from `client`
    bool new_client;
    int made;
    std::optional<std::string> line;
  };
  const std::string p = "tavorin: port 15000: ";
  const std::string outside = " outside AllowClients in [Proxy] turned away (the latest from ";
  const Step steps[] = {
      {milliseconds(0), nullptr, 0, false, 2, std::nullopt},
      {milliseconds(100), &first, 3, true, 0,
       p + "3 datagrams from 1 new client" + outside + "192.0.2.7:40000)"},
      {seconds(5), &second, 1, true, 1, std::nullopt},  // within 10 s of the line before
      {seconds(11), nullptr, 0, false, 0,
       p + "1 datagram from 1 new client" + outside + "[::1]:5060)"},
      {seconds(30), nullptr, 0, false, 0, std::nullopt},
      {seconds(31), &first, 2, false, 0,
       p + "2 datagrams from clients told of before" + outside + "192.0.2.7:40000)"},
  };
  for (const Step& step : steps) {
    for (int i = 0; i < step.datagrams; ++i)
      counters_.CountNotAllowed(*step.client, step.new_client && i == 0);
    Make(step.made);
    EXPECT_EQ(report_.NotAllowed(counters_, start_ + step.at), step.line)
        << "at " << step.at.count() << " ms";
    EXPECT_EQ(At(step.at), std::nullopt) << "no refusal for want of a resource";
  }
}

// Drops are told in one line at once, then at most one every ten seconds: datagrams too long,
// with the length seen (where the system does not tell a cut datagram's length, Windows, none
// is named), and empty ones; refusals of the server, each line naming the server that refused
// the latest; and datagrams kept from a followed port, in a line of their own.
TEST(DropReport, OneLineAtOnceThenAtMostOneEveryTenSeconds) {
  PortCounters counters;
  DropReport report(15000, 520);
  const auto start = LinePace::Clock::now();
  const Endpoint v4 = MakeEndpoint(htonl(INADDR_LOOPBACK), htons(2000));
  const Endpoint v6 = MakeEndpoint6(in6addr_loopback, htons(2000));
  struct Step {
    milliseconds at;
    size_t longer;  // a datagram of this length dropped, cut to the limit, when not 0
    int empty;      // empty datagrams dropped
    int refused;    // by the server `by`
    const Endpoint* by;
    int followed;  // datagrams kept from a followed port
    std::optional<std::string> line;
  };
  const std::string p = "tavorin: port 15000: ";
  const std::string raise = "MaxDatagram in [Proxy] raises the limit)";
  const Step steps[] = {
      {milliseconds(0), 0, 0, 0, &v4, 0, std::nullopt},
      {milliseconds(500), 1400, 0, 0, &v4, 0,
       p + "1 datagram longer than the limit of 520 bytes dropped (the latest 1400 bytes; " +
           raise},
      {milliseconds(9000), 600, 1, 0, &v4, 0, std::nullopt},  // within 10 s of the line before
      {milliseconds(10500), 0, 0, 0, &v4, 0,
       p + "1 datagram longer than the limit of 520 bytes dropped (the latest 600 bytes; " + raise +
           "; 1 datagram of 0 bytes dropped"},
      {seconds(60), 520, 2, 0, &v4, 0,
       p + "1 datagram longer than the limit of 520 bytes dropped (" + raise +
           "; 2 datagrams of 0 bytes dropped"},
      {seconds(90), 0, 0, 0, &v4, 0, std::nullopt},  // nothing new
      {milliseconds(100500), 0, 0, 12, &v4, 0,
       p + "the server 127.0.0.1:2000 refused 12 datagrams (port unreachable)"},
      {seconds(109), 0, 0, 3, &v4, 0, std::nullopt},
      {milliseconds(110500), 0, 0, 1, &v4, 0,
       p + "the server 127.0.0.1:2000 refused 4 datagrams (port unreachable)"},
      {seconds(160), 0, 0, 1, &v6, 0,
       p + "the server [::1]:2000 refused 1 datagram (port unreachable)"},
      {seconds(190), 0, 0, 0, &v6, 0, std::nullopt},
      {seconds(200), 0, 0, 0, &v6, 2,
       p + "2 datagrams went to the server's own port, not to the port their link followed, "
           "which this relay holds on the server's host (FollowServerPort in [Server])"},
  };
  for (const Step& step : steps) {
    char byte = 0;
    for (int i = step.longer > 0 ? -1 : 0; i < step.empty; ++i) {
      const size_t length = i < 0 ? step.longer : 0;
      counters.CountUnrelayable(ReceiveSlot{&byte, 520, length, length > 0, {}, {}, {}, 0}, 520);
    }
    if (step.refused > 0)
      counters.CountServerRefusals(step.refused, *step.by);
    counters.CountFollowRefused(static_cast<uint64_t>(step.followed));
    std::vector<std::string> lines = report.Check(counters, start + step.at);
    ASSERT_LE(lines.size(), 1u);
    EXPECT_EQ(lines.empty() ? std::nullopt : std::optional<std::string>(lines[0]), step.line)
        << "at " << step.at.count() << " ms";
  }
  // The system's count as it grows; one that lags behind (an older datagram's) adds nothing.
  counters.CountSystemDrops(7);
  counters.CountSystemDrops(3);
  EXPECT_EQ(report.Check(counters, start + seconds(210)),
            std::vector<std::string>{p + "the system dropped 7 datagrams before the relay could "
                                         "read them (a full receive buffer; net.core.rmem_max "
                                         "caps it)"});
}

// A server is silent once datagrams sent to it have waited the window with nothing back: told
// at once, at most once every 10 s, and its next answer told; a new server or a window of 0
// forgets a silence without a word.
TEST(SilenceReport, ToldOnceTheWindowPassesUnansweredAndAgainWhenItAnswers) {
  SilenceReport report(15000);
  report.SetWindow(seconds(2));
  const auto start = SilenceReport::Clock::now();
  const Endpoint server = MakeEndpoint(htonl(INADDR_LOOPBACK), htons(2000));
  const std::string silent =
      "tavorin: port 15000: the server 127.0.0.1:2000 has answered none of the ";
  const std::string again = "tavorin: port 15000: the server 127.0.0.1:2000 answers again";
  struct Look {
    milliseconds at;
    uint64_t sent;  // so far
    bool answered;
    uint64_t generation = 1;
    std::optional<std::string> line = std::nullopt;
  };
  const Look looks[] = {
      {seconds(0), 1, false},  // sent before the first look: waits all the same
      {seconds(2), 1, false, 1, silent + "1 datagram of the last 2 s"},
      {seconds(3), 1, true, 1, again},
      {seconds(30), 1, false},  // nothing sent: never silent
      {seconds(31), 4, false},
      {milliseconds(32500), 9, false},
      {seconds(33), 12, false, 1, silent + "11 datagrams of the last 2 s"},
      {seconds(34), 15, true, 1, again},
      {seconds(35), 16, false},
      {seconds(37), 17, false},  // silent again, within 10 s of the line before
      {seconds(42), 18, false},
      {seconds(43), 18, false, 1, silent + "3 datagrams of the last 8 s"},
      {seconds(44), 19, false, 2},  // a new server: nothing to tell
      {seconds(50), 19, true, 2},
      {seconds(51), 20, false, 2},
      {seconds(53), 20, false, 2, silent + "1 datagram of the last 2 s"},
      {seconds(54), 20, false, 2},
  };
  for (const Look& look : looks) {
    report.Observe(look.sent, look.answered, server, look.generation, start + look.at);
    EXPECT_EQ(report.Line(start + look.at), look.line) << "at " << look.at.count() << " ms";
  }
  EXPECT_TRUE(report.silent());
  report.Observe(20, false, server, 2, start + seconds(55));
  EXPECT_FALSE(report.silent()) << "nothing sent for two windows: forgotten";
  EXPECT_EQ(report.Line(start + seconds(55)), std::nullopt) << "without a word";
  report.Observe(21, false, server, 2, start + seconds(56));
  report.Observe(21, false, server, 2, start + seconds(58));
  EXPECT_TRUE(report.silent());
  report.SetWindow(seconds(0));
  EXPECT_FALSE(report.silent());
  report.Observe(30, false, server, 2, start + seconds(200));
  EXPECT_EQ(report.Line(start + seconds(200)), std::nullopt) << "off";
}

TEST(ShortageText, NamesWhatCouldNotBeHad) {
  EXPECT_EQ(ShortageText(Outcome::Failed(Step::kBind, 98)), "no local UDP port: " + ErrorText(98));
  EXPECT_EQ(ShortageText(Outcome::Failed(Step::kSocket, 23)), "no socket: " + ErrorText(23));
  EXPECT_EQ(ShortageText(Outcome::Failed(Step::kBind, kNoAddressFamily)),
            "the client's address family differs from the server's (Transparent=1 sends from the "
            "client's own address)");
}

}  // namespace
}  // namespace tavorin
