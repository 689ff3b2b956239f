#include "server/uLogDispatch.h"

#include <gtest/gtest.h>

#include <vector>

#include "server/uRecordDecoder.h"

namespace {

// Records every call as one text, in order.
class RecordingTarget : public tLogEventTarget {
 public:
  std::vector<std::string> Calls;

  void RouteRecord(std::string_view PeerAddress, std::string_view PeerPort,
                   std::string_view ApplicationName, std::string_view ModuleName,
                   std::string_view FilePrefix, std::string_view Text,
                   TDateTime ClientTime) override {
    Calls.push_back("route " + std::string(PeerAddress) + " " + std::string(PeerPort) + " " +
                    std::string(ApplicationName) + "|" + std::string(ModuleName) + "|" +
                    std::string(FilePrefix) + "|" + std::string(Text) + "|" +
                    std::to_string(ClientTime));
  }
  void ReleasePeer(std::string_view PeerAddress, std::string_view PeerPort) override {
    Calls.push_back("release " + std::string(PeerAddress) + " " + std::string(PeerPort));
  }
  void WriteLog(bool Verbose, const std::string& Message) override {
    Calls.push_back((Verbose ? "verbose " : "log ") + Message);
  }
};

std::unique_ptr<tLogQueueElement> TcpRecord(const std::string& module, const std::string& prefix,
                                            const std::string& text) {
  tLogRecord record;
  record.ApplicationName = "App";
  record.ModuleName = module;
  record.FilePrefix = prefix;
  record.Text = text;
  record.ClientTime = 2.5;
  const std::string payload = EncodeLogRecord(record);
  return tLogQueueElement::Make(lkTcpData, "10.1.2.3", 4000, payload.data(),
                                static_cast<std::uint32_t>(payload.size()));
}

std::vector<std::string> Dispatch(const tLogQueueElement& element, std::int32_t logMode,
                                  bool moduleAsPrefix = true) {
  RecordingTarget target;
  DispatchLogElement(element, tLogDispatchSettings{logMode, moduleAsPrefix}, target);
  return target.Calls;
}

using Calls = std::vector<std::string>;

TEST(uLogDispatchTest, TcpRecordIsRoutedThenNewMsgOnlyFromLogMode2) {
  const auto element = TcpRecord("Core", "pre", "hello");
  const std::string route = "route 10.1.2.3 4000 App|Core|pre|hello|2.500000";
  EXPECT_EQ(Dispatch(*element, 0), Calls{route});
  EXPECT_EQ(Dispatch(*element, 1), Calls{route});
  EXPECT_EQ(Dispatch(*element, 2), (Calls{route, "verbose NEW MSG: [10.1.2.3:4000] \"hello\""}));
  EXPECT_EQ(Dispatch(*element, 7).size(), 2u);
}

TEST(uLogDispatchTest, ModuleNameStandsInForAnEmptyPrefixWhenConfigured) {
  EXPECT_EQ(Dispatch(*TcpRecord("Core", "", "m"), 1, true),
            Calls{"route 10.1.2.3 4000 App|Core|Core|m|2.500000"});
  EXPECT_EQ(Dispatch(*TcpRecord("Core", "", "m"), 1, false),
            Calls{"route 10.1.2.3 4000 App|Core||m|2.500000"});
  EXPECT_EQ(Dispatch(*TcpRecord("", "", "m"), 1, true),
            Calls{"route 10.1.2.3 4000 App|||m|2.500000"});
}

TEST(uLogDispatchTest, MalformedRecordGivesNoOutputAtAnyLogMode) {
  auto element = TcpRecord("Core", "pre", "hello");
  element->Data[0] = 1;
  EXPECT_TRUE(Dispatch(*element, 2).empty());
  element->Data[0] = 0;
  element->Size = 44;
  EXPECT_TRUE(Dispatch(*element, 2).empty());
  element->Size = 0;
  EXPECT_TRUE(Dispatch(*element, 2).empty());
}

TEST(uLogDispatchTest, ConnectAndDisconnectLines) {
  const auto connect = tLogQueueElement::Make(lkConnect, "127.0.0.1", 51000, nullptr, 0);
  EXPECT_EQ(Dispatch(*connect, 1), Calls{"verbose CLIENT CONNECTED: [127.0.0.1:51000]"});
  const auto disconnect = tLogQueueElement::Make(lkDisconnect, "127.0.0.1", 51000, nullptr, 0);
  EXPECT_EQ(Dispatch(*disconnect, 0),
            (Calls{"release 127.0.0.1 51000", "verbose CLIENT DISCONNECTED: [127.0.0.1:51000]"}));
}

TEST(uLogDispatchTest, SyslogIsRoutedAsSyslogStreamWithoutPrefixOrTime) {
  const std::string datagram("<13>Mar  7 14:05:09 host app: hi\r\n\0", 36);
  const auto element = tLogQueueElement::Make(lkSyslogData, "10.0.0.5", 514, datagram.data(),
                                              static_cast<std::uint32_t>(datagram.size()));
  const std::string route =
      "route 10.0.0.5 514 SYSLOG|syslog||<13>Mar  7 14:05:09 host app: hi|0.000000";
  EXPECT_EQ(Dispatch(*element, 1, true), Calls{route});
  EXPECT_EQ(Dispatch(*element, 2),
            (Calls{route, "verbose NEW MSG: [10.0.0.5:514] \"<13>Mar  7 14:05:09 host app: hi\""}));

  const auto blanks = tLogQueueElement::Make(lkSyslogData, "10.0.0.5", 514, "   ", 3);
  EXPECT_EQ(Dispatch(*blanks, 1), Calls{"route 10.0.0.5 514 SYSLOG|syslog|||0.000000"});
}

TEST(uLogDispatchTest, UnknownKindGivesNothing) {
  const auto element = tLogQueueElement::Make(3, "10.0.0.5", 1, "x", 1);
  EXPECT_TRUE(Dispatch(*element, 2).empty());
}

}  // namespace

namespace {

// A text can never forge a line of the diagnostic log; the routed record keeps it as sent.
TEST(uLogDispatchTest, NewMsgTextIsEscapedAndTheRecordIsNot) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    std::string quoted;
  };
  const Case cases[] = {
      {"plain text", "plain text"},
      {"a\r\n07.03.2024 14:05:09:120 : Log Server stopped",
       "a\\r\\n07.03.2024 14:05:09:120 : Log Server stopped"},
      {"tab\there", "tab\\x09here"},
      {"C:\\dir\\", "C:\\\\dir\\\\"},
      {"nul\0end"s, "nul\\x00end"},
      {"\x1b[31m\x1f", "\\x1B[31m\\x1F"},
      {"high \x7f\x80\xff", "high \x7f\x80\xff"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.quoted);
    const auto element = TcpRecord("Core", "pre", c.text);
    const Calls calls = Dispatch(*element, 2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "route 10.1.2.3 4000 App|Core|pre|" + c.text + "|2.500000");
    EXPECT_EQ(calls[1], "verbose NEW MSG: [10.1.2.3:4000] \"" + c.quoted + "\"");
  }
}

}  // namespace
