// The channel entry: function codes, anchors, request records, the choice of
// transport and the time-out settings.
#include <cstdlib>

#include "agent/comm_entry.h"
#include "agent/request_record.h"
#include "support/channel_fixture.h"

namespace qrx {
namespace {

using CommEntryTest = test::ChannelTest;

TEST_F(CommEntryTest, WaitTimeoutSettingsAreDefaultedAndCapped) {
  struct Case {
    const char* value;
    int expected;
  };
  const Case cases[] = {{nullptr, 5}, {"0", 5}, {"9999", 600}, {"-1", 600}, {"30", 30},
                        {"600", 600}};
  for (const Case& c : cases) {
    if (c.value) {
      setenv("COLL_WAIT_TIMEOUT", c.value, 1);
    } else {
      unsetenv("COLL_WAIT_TIMEOUT");
    }
    EXPECT_EQ(get_timeout_value("COLL_WAIT_TIMEOUT", 5), c.expected) << (c.value ? c.value : "unset");
  }
  setenv("COLL_WAIT_TIMEOUT", "9999", 1);
  CommAnchor* anchor = qrxcomm("initc").anchor;
  EXPECT_EQ(wait_timeout, 600);
  qrxcomm("term", anchor);
}

TEST_F(CommEntryTest, UseShmSettingChoosesTheTransport) {
  const std::pair<const char*, bool> cases[] = {{"", false}, {"1", false}, {"10", false},
                                                {"0", true},  {"yes", true}};
  for (const auto& [value, pipes] : cases) {
    env_vars.use_shm = value;
    EXPECT_EQ(channel_uses_pipes(), pipes) << value;
  }
}

TEST_F(CommEntryTest, RecordWithTwoParametersYieldsFourParameterEntries) {
  const std::vector<char> record = build_data_request("CURS1", "AGT", {"x", "yz"});
  EXPECT_EQ(record.size(), 7u + 5 + 3 + 2 + 3);
  const ParsedRequest parsed = parse_data_request(record);
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.name, "CURS1");
  EXPECT_EQ(parsed.path, "AGT");
  EXPECT_EQ(parsed.params, (std::vector<std::string>{"x", "yz", "", ""}));
}

TEST_F(CommEntryTest, RecordsWhoseLengthsDoNotFitAreRefused) {
  std::vector<char> record = build_data_request("CURS1", "AGT", {});
  record[0] = 100;
  EXPECT_FALSE(parse_data_request(record).ok);
  EXPECT_FALSE(parse_data_request(std::vector<char>{1, 0}).ok);
}

TEST_F(CommEntryTest, PutOnAProbeAnchorIsRefusedWithCode4) {
  for (const char* use_shm : {"", "0"}) {
    env_vars.use_shm = use_shm;
    CommAnchor* probe = qrxcomm("init").anchor;
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(qrxcomm("put", probe).blocks, nullptr);
    EXPECT_EQ(probe->error_code, 4);
    EXPECT_EQ(probe->error_text, "Invalid request type for probe.");
    qrxcomm("term", probe);
  }
}

TEST_F(CommEntryTest, AnchorOfNeitherSideIsRefused) {
  CommAnchor other;
  other.side = 'X';
  qrxcomm("put", &other);
  EXPECT_EQ(other.error_code, 4);
  EXPECT_EQ(other.error_text, "Invalid IPC anchor for put request.");
  qrxcomm("get", &other);
  EXPECT_EQ(other.error_code, 8);
  EXPECT_EQ(other.error_text, "Invalid IPC anchor for get request.");
  EXPECT_EQ(qrxcomm("term", &other).code, 0);
}

TEST_F(CommEntryTest, UnknownFunctionCodeIsLoggedAndGivesZero) {
  EXPECT_EQ(qrxcomm("frobnicate").code, 0);
  EXPECT_TRUE(logged("com0100", "Invalid function code to QRXCOMM: frobnicate"));
  EXPECT_EQ(qrxcomm2("frobnicate").code, 0);
  EXPECT_TRUE(logged("com2100", "Invalid function code to QRXCOMM2: frobnicate"));
  EXPECT_EQ(qrxcomm("get").blocks, nullptr);
}

TEST_F(CommEntryTest, ShareMemoryAnchorsNameTheirSides) {
  CommAnchor* probe = qrxcomm("init").anchor;
  CommAnchor* collector = qrxcomm("initc").anchor;
  EXPECT_EQ(probe->side, 'P');
  EXPECT_EQ(collector->side, 'C');
  EXPECT_EQ(collector->probe_path, "AGT");
  EXPECT_EQ(collector->coll_path, "COL");
  EXPECT_EQ(wait_timeout, 45);
  qrxcomm("term", probe);
  qrxcomm("term", collector);
}

TEST_F(CommEntryTest, CollectorGetWithoutRequestLeavesCode20) {
  qrxcomm("initsm");
  setenv("COLL_WAIT_TIMEOUT", "1", 1);
  CommAnchor* collector = qrxcomm("initc").anchor;
  EXPECT_EQ(qrxcomm("get", collector).blocks, nullptr);
  EXPECT_EQ(collector->error_code, 20);
  EXPECT_EQ(collector->error_text, "Share memory time out");
  qrxcomm("term", collector);
  qrxcomm("shut");
}

}  // namespace
}  // namespace qrx
