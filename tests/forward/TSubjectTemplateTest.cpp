#include "plugins/forward/TSubjectTemplate.h"

#include <gtest/gtest.h>

namespace {

TForwardRecord Record(std::string address, std::string application, std::string module,
                      std::string prefix = "", std::uint16_t port = 514) {
  TForwardRecord record;
  record.PeerAddress = std::move(address);
  record.PeerPort = port;
  record.Application = std::move(application);
  record.Module = std::move(module);
  record.Prefix = std::move(prefix);
  return record;
}

struct TBuildCase {
  TSubjectRules Rules;
  const char* Template;
  TForwardRecord Record;
  std::string Name;
};

TEST(SubjectTemplateTest, BuildsSafeNames) {
  const TBuildCase cases[] = {
      {TSubjectRules::Nats, "kelvra.{address}.{application}.{module}",
       Record("10.1.2.3", "Billing", "Core"), "kelvra.10_1_2_3.Billing.Core"},
      {TSubjectRules::Nats, "kelvra.{address}.{application}.{module}",
       Record("10.1.2.3", "My App", "a.b*c>d"), "kelvra.10_1_2_3.My_App.a_b_c_d"},
      {TSubjectRules::Nats, "kelvra.{address}.{application}.{module}", Record("10.1.2.3", "", ""),
       "kelvra.10_1_2_3._._"},
      {TSubjectRules::Nats, "kelvra.{address}.{application}.{module}",
       Record("10.1.2.3", "caf\xC3\xA9", std::string("t\tab\x01", 5)),
       "kelvra.10_1_2_3.caf__.t_ab_"},
      {TSubjectRules::Nats, "logs.{application}-{port}.{prefix}",
       Record("10.1.2.3", "web", "m", "p.q", 8080), "logs.web-8080.p_q"},
      {TSubjectRules::Kafka, "kelvra.{address}.{application}.{module}",
       Record("10.1.2.3", "My App", "a+b"), "kelvra.10_1_2_3.My_App.a_b"},
      {TSubjectRules::Kafka, "kelvra-{application}", Record("10.1.2.3", "", "m"), "kelvra-_"},
  };
  for (const TBuildCase& c : cases) {
    TSubjectTemplate compiled(c.Rules);
    std::string error;
    ASSERT_TRUE(compiled.Compile(c.Template, error)) << c.Template << ": " << error;
    EXPECT_EQ(compiled.Build(c.Record), c.Name) << c.Template;
  }
}

TEST(SubjectTemplateTest, DefaultIsTheAddressApplicationModuleSubject) {
  const TSubjectTemplate subject;
  EXPECT_EQ(subject.Text(), "kelvra.{address}.{application}.{module}");
  EXPECT_EQ(subject.Build(Record("127.0.0.1", "a", "b")), "kelvra.127_0_0_1.a.b");
}

TEST(SubjectTemplateTest, LongKafkaTopicsAreCutAndMarkedByHash) {
  TSubjectTemplate topic(TSubjectRules::Kafka);
  const std::string a(300, 'a');
  const std::string b = a + "b";
  const std::string first = topic.Build(Record("10.0.0.1", a, "m"));
  const std::string second = topic.Build(Record("10.0.0.1", b, "m"));
  EXPECT_EQ(first.size(), TSubjectTemplate::MaxKafkaTopicLength);
  EXPECT_EQ(second.size(), TSubjectTemplate::MaxKafkaTopicLength);
  EXPECT_NE(first, second);
  EXPECT_EQ(first.substr(0, 240), second.substr(0, 240));
  EXPECT_EQ(first[240], '-');
}

struct TBadCase {
  TSubjectRules Rules;
  const char* Template;
  const char* ErrorPart;
};

TEST(SubjectTemplateTest, BadTemplatesAreRefusedAndLeaveTheOldOne) {
  const TBadCase cases[] = {
      {TSubjectRules::Nats, "", "empty template"},
      {TSubjectRules::Nats, "kelvra..{module}", "empty token"},
      {TSubjectRules::Nats, ".kelvra", "empty token"},
      {TSubjectRules::Nats, "kelvra.", "ending in '.'"},
      {TSubjectRules::Nats, "kelvra.{module", "unclosed"},
      {TSubjectRules::Nats, "kelvra.{host}", "unknown field {host}"},
      {TSubjectRules::Nats, "kelvra.>", "'>'"},
      {TSubjectRules::Nats, "kel vra.{module}", "' '"},
      {TSubjectRules::Kafka, "kelvra/{module}", "'/'"},
  };
  for (const TBadCase& c : cases) {
    TSubjectTemplate compiled(c.Rules);
    std::string error;
    EXPECT_FALSE(compiled.Compile(c.Template, error)) << c.Template;
    EXPECT_NE(error.find(c.ErrorPart), std::string::npos) << c.Template << ": " << error;
    EXPECT_EQ(compiled.Text(), TSubjectTemplate::DefaultText);
  }
}

}  // namespace
