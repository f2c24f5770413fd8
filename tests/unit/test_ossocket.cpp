// Socket layer: the "socket:" address syntax, address texts, and TCP "Socket" streams on the loopback.

#include <cstring>
#include <thread>
#include <tuple>

#include "logging.h"
#include "test_os_helpers.h"
#include "test_text_helpers.h"

namespace {

std::string format(const OsSocketAddress& a) {
  char text[osSocketAddressTextSize];
  osSocketFormatAddress(&a, text, sizeof text);
  return text;
}

OsSocketAddress v6(std::initializer_list<uint16_t> groups, uint16_t port, uint32_t scopeId = 0) {
  OsSocketAddress a = {osSocketFamilyIPv6, port, scopeId, {}, {}};
  int i = 0;
  for (uint16_t g : groups) {
    a.address[i++] = (uint8_t)(g >> 8);
    a.address[i++] = (uint8_t)g;
  }
  return a;
}

// The 32 bytes of the record in hexadecimal, to compare records whole.
std::string hexOf(const OsSocketAddress& a) {
  char text[2 * sizeof a + 1];
  for (size_t i = 0; i < sizeof a; i++) snprintf(text + 2 * i, 3, "%02x", ((const uint8_t*)&a)[i]);
  return text;
}

// A listener on 127.0.0.1 at a free port, a client connected to it and the server's end.
class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override {
    logParseLevels("info");
    testListenLoopback(4, &listener, &bound);
  }
  void TearDown() override {
    for (IoStream* s : {client, server, listener}) iosClose(s);
    osSocketExit();
    logParseLevels(nullptr);
  }
  void connectBoth() {
    ASSERT_EQ(osSocketConnect(&bound, osSocketConnectTimeoutMs, &client), 0);
    uint32_t timeout = 5000;
    ASSERT_EQ(iosAccept(&server, listener, &timeout, nullptr), 0);
    ASSERT_NE(server, nullptr);
  }
  IoStream* listener = nullptr;
  IoStream* client = nullptr;
  IoStream* server = nullptr;
  OsSocketAddress bound = {};
};

// The address tests run with the layer started and records at INFO.
class SocketAddress : public ::testing::Test {
 protected:
  void SetUp() override {
    logParseLevels("info");
    ASSERT_EQ(osSocketInit(), 0);
  }
  void TearDown() override {
    osSocketExit();
    logParseLevels(nullptr);
  }
};

}  // namespace

TEST_F(SocketAddress, ParsesEachHostFormAndShortensTheLongestIPv6ZeroRun) {
  OsSocketAddress a;
  memset(&a, 0xAB, sizeof a);
  // The whole record is written: the rest is cleared, not left as it was.
  ASSERT_EQ(osSocketParseAddress("socket:127.0.0.1:5140", &a), 0);
  EXPECT_EQ((std::tuple{hexOf(a), format(a)}),
            (std::tuple{hexOf({osSocketFamilyIPv4, 5140, 0, {127, 0, 0, 1}, {}}), "127.0.0.1:5140"}));
  ASSERT_EQ(osSocketParseAddress("socket:[::1]:65535", &a), 0);
  EXPECT_EQ((std::tuple{hexOf(a), format(a)}), (std::tuple{hexOf(v6({0, 0, 0, 0, 0, 0, 0, 1}, 65535)), "[::1]:65535"}));
  ASSERT_EQ(osSocketParseAddress("socket:localhost:1", &a), 0);
  EXPECT_EQ((std::tuple{a.family == osSocketFamilyIPv4 || a.family == osSocketFamilyIPv6, a.port}),
            (std::tuple{true, 1}));
  EXPECT_EQ((TestNames{format(v6({0, 0, 0, 0, 0, 0, 0, 0}, 1)), format(v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}, 80)),
                       format(v6({1, 0, 0, 2, 0, 0, 0, 3}, 80)), format(v6({1, 0, 2, 3, 4, 5, 6, 7}, 80)),
                       format(v6({0xfe80, 0, 0, 0, 0, 0, 0, 0}, 9)), format(v6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 9, 3)),
                       format({})}),
            (TestNames{"[::]:1", "[2001:db8::1]:80", "[1:0:0:2::3]:80", "[1:0:2:3:4:5:6:7]:80", "[fe80::]:9",
                       "[fe80::1%3]:9", "<none>"}));
}

TEST_F(SocketAddress, RejectsMalformedValuesWithAReason) {
  const struct {
    const char* reason;
    std::vector<const char*> values;
  } cases[] = {
      {"missing port", {"socket:127.0.0.1", "socket:127.0.0.1:", "socket:[::1]"}},
      {"out of range", {"socket:127.0.0.1:0", "socket:127.0.0.1:65536", "socket:127.0.0.1:99999999999999999999"}},
      {"after the port", {"socket:127.0.0.1:80x", "socket:127.0.0.1:80 ", "socket:127.0.0.1:80:81"}},
      {"where the port belongs", {"socket:127.0.0.1:x80", "socket:[::1]80"}},
      {"empty host", {"socket::80", "socket:", "socket:[]:80"}},
      {"missing ]", {"socket:[::1:80"}},
      {"needs brackets", {"socket:::1:80"}},
      {"does not start with socket:", {"Socket:127.0.0.1:80", "tcp:127.0.0.1:80"}},
      // ".invalid" never resolves; a bracketed text must be an IPv6 literal.
      {"Cannot resolve host no-such-host.invalid", {"socket:no-such-host.invalid:80"}},
      {"Cannot resolve host localhost", {"socket:[localhost]:80"}}};
  for (const auto& c : cases)
    for (const char* value : c.values) {
      OsSocketAddress a;
      memset(&a, 0xAB, sizeof a);
      TestStderr cap;
      EXPECT_EQ(osSocketParseAddress(value, &a), -1) << value;
      SCOPED_TRACE(value);
      expectText(cap.take(), {"opsys.socket", c.reason});
      EXPECT_EQ(hexOf(a), hexOf({}));
    }
}

TEST_F(SocketPair, DataTravelsBothWaysUrgentOutOfBandAndCloseIsEndOfData) {
  connectBoth();
  EXPECT_STREQ(iosTypeName(client), "Socket");
  EXPECT_STREQ(iosTypeName(listener), "ServerSocket");
  // More than the socket buffers hold, so the writer has to wait for room.
  std::string big(3 * 1024 * 1024, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 7 + i / 4096);
  std::string received;
  std::thread reader([&] { received = testReadAll(server, big.size()); });
  EXPECT_EQ(testWriteAll(client, big), 0);
  reader.join();
  EXPECT_TRUE(received == big) << received.size();

  // Waiting for data waits only as long as asked.
  EXPECT_EQ((std::tuple{iosCanRead(client, 20) != 0, iosWriteString(server, "pong", nullptr), iosCanRead(client, 5000),
                        testReadAll(client, 4)}),
            (std::tuple{true, 0, 0, "pong"}));
  // An urgent byte arrives out of band.
  uint32_t n = 0, urgentWritten = 0;
  char c = 0;
  EXPECT_EQ((std::tuple{iosUrgentWrite(client, "!", 1, &urgentWritten), urgentWritten, iosUrgentRead(server, &c, 1, &n),
                        n, c}),
            (std::tuple{0, 1u, 0, 1u, '!'}));
  iosClose(std::exchange(client, nullptr));
  n = 9;  // the close is readable, as the end of data
  EXPECT_EQ((std::tuple{iosCanRead(server, 5000), iosRead(server, &c, 1, &n), n}), (std::tuple{0, 0, 0u}));
}

// Writing to a gone peer fails with an error, not SIGPIPE, and from then on at once.
TEST_F(SocketPair, PeerThatClosedGivesAWriteErrorNotASignal) {
  connectBoth();
  iosClose(std::exchange(server, nullptr));
  std::string chunk(65536, 'z');
  TestStderr cap;
  int result = 0;
  for (int i = 0; i < 200 && result == 0; i++) {
    result = iosWrite(client, chunk.data(), (uint32_t)chunk.size(), nullptr);
    if (result == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(result, -1);
  uint32_t n = 7;
  EXPECT_EQ((std::tuple{iosWrite(client, "more", 4, &n), n}), (std::tuple{-1, 0u}));
  std::string log = cap.take();
  expectText(log, {"Cannot send to 127.0.0.1:"});
  EXPECT_EQ(log.find("Cannot send to"), log.rfind("Cannot send to")) << log;  // the second failure is not reported
}

// Accept gives up after its timeout; a connection nobody listens for fails with the system's reason, and an empty
// address without a system call.
TEST_F(SocketPair, AcceptTimeoutRefusedConnectionAndEmptyAddress) {
  TestStderr acceptLog;
  uint32_t timeout = 30;
  IoStream* none = nullptr;
  EXPECT_EQ((std::tuple{iosAccept(&none, listener, &timeout, nullptr), none}), (std::tuple{-1, (IoStream*)nullptr}));
  expectText(acceptLog.take(), {"No connection on 127.0.0.1:"});
  iosClose(std::exchange(listener, nullptr));
  TestStderr refusedLog;
  EXPECT_EQ((std::tuple{osSocketConnect(&bound, osSocketConnectTimeoutMs, &client), client}),
            (std::tuple{-1, (IoStream*)nullptr}));
  expectText(refusedLog.take(), {"ERROR", ("Cannot connect to " + format(bound) + ": ").c_str()});
  const OsSocketAddress empty = {};
  none = reinterpret_cast<IoStream*>(1);
  TestStderr emptyLog;
  EXPECT_EQ((std::tuple{osSocketConnect(&empty, 100, &none), none}), (std::tuple{-1, (IoStream*)nullptr}));
  expectText(emptyLog.take(), {"Cannot connect to <none>: no address"});
}

// The log connection outlives the socket layer's stop at shut-down: open connections keep it started.
TEST_F(SocketPair, ConnectionOutlivesTheLayerShutDown) {
  connectBoth();
  char buf[4] = {};
  EXPECT_EQ((std::tuple{osSocketExit(), iosWriteString(client, "late", nullptr), iosReadFully(server, buf, 4),
                        std::string(buf, 4)}),
            (std::tuple{0, 0, 0, "late"}));
  ASSERT_EQ(osSocketInit(), 0);  // for the fixture's own shut-down
}
