#pragma once

// A Kafka cluster inside the test process: librdkafka's mock cluster (no Kafka broker package
// exists for this machine), with a consumer that reads back what the forwarder produced.

#include <gtest/gtest.h>

#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kafkatest {

// One message as the consumer read it.
struct TConsumed {
  std::int32_t Partition = 0;
  std::string Key;
  std::string Value;
  std::string RecordId;  // the "kelvra-record-id" header
};

class TKafkaMockCluster {
 public:
  static constexpr int Brokers = 3;
  static constexpr int Partitions = 4;

  explicit TKafkaMockCluster(const std::string& topic) : Topic(topic) {
    char error[512];
    rd_kafka_conf_t* conf = rd_kafka_conf_new();
    rd_kafka_conf_set(conf, "log_level", "0", error, sizeof error);
    FHost = rd_kafka_new(RD_KAFKA_PRODUCER, conf, error, sizeof error);
    EXPECT_NE(FHost, nullptr) << error;
    FCluster = rd_kafka_mock_cluster_new(FHost, Brokers);
    EXPECT_NE(FCluster, nullptr);
    EXPECT_EQ(rd_kafka_mock_topic_create(FCluster, topic.c_str(), Partitions, Brokers),
              RD_KAFKA_RESP_ERR_NO_ERROR);
  }
  ~TKafkaMockCluster() {
    if (FConsumer != nullptr) {
      rd_kafka_consumer_close(FConsumer);
      rd_kafka_destroy(FConsumer);
    }
    rd_kafka_mock_cluster_destroy(FCluster);
    rd_kafka_destroy(FHost);
  }
  TKafkaMockCluster(const TKafkaMockCluster&) = delete;
  TKafkaMockCluster& operator=(const TKafkaMockCluster&) = delete;

  std::string Bootstraps() const { return rd_kafka_mock_cluster_bootstraps(FCluster); }

  // The next count produce requests fail with error (a retriable one for an outage).
  void FailProduceRequests(std::size_t count, rd_kafka_resp_err_t error) {
    std::vector<rd_kafka_resp_err_t> errors(count, error);
    constexpr std::int16_t ProduceApiKey = 0;
    rd_kafka_mock_push_request_errors_array(FCluster, ProduceApiKey, errors.size(), errors.data());
  }
  void SetBrokersDown(bool down) {
    for (std::int32_t id = 1; id <= Brokers; ++id) {
      if (down) {
        rd_kafka_mock_broker_set_down(FCluster, id);
      } else {
        rd_kafka_mock_broker_set_up(FCluster, id);
      }
    }
  }

  // Reads from the beginning of every partition (first call) or on, until at least count
  // messages came in total or timeout passed; returns all read so far.
  const std::vector<TConsumed>& Consume(std::size_t count, std::chrono::milliseconds timeout) {
    if (FConsumer == nullptr) {
      StartConsumer();
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (FConsumed.size() < count && std::chrono::steady_clock::now() < deadline) {
      rd_kafka_message_t* message = rd_kafka_consumer_poll(FConsumer, 100);
      if (message == nullptr) {
        continue;
      }
      if (message->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
        TConsumed consumed;
        consumed.Partition = message->partition;
        consumed.Key.assign(static_cast<const char*>(message->key), message->key_len);
        consumed.Value.assign(static_cast<const char*>(message->payload), message->len);
        rd_kafka_headers_t* headers = nullptr;
        const void* value = nullptr;
        std::size_t size = 0;
        if (rd_kafka_message_headers(message, &headers) == RD_KAFKA_RESP_ERR_NO_ERROR &&
            rd_kafka_header_get_last(headers, "kelvra-record-id", &value, &size) ==
                RD_KAFKA_RESP_ERR_NO_ERROR) {
          consumed.RecordId.assign(static_cast<const char*>(value), size);
        }
        FConsumed.push_back(std::move(consumed));
      }
      rd_kafka_message_destroy(message);
    }
    return FConsumed;
  }

  const std::string Topic;

 private:
  void StartConsumer() {
    char error[512];
    rd_kafka_conf_t* conf = rd_kafka_conf_new();
    const std::string servers = Bootstraps();
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"bootstrap.servers", servers},
                                                          {"group.id", "kelvra-test"},
                                                          {"enable.auto.commit", "false"},
                                                          {"log_level", "0"}}) {
      EXPECT_EQ(rd_kafka_conf_set(conf, name.c_str(), value.c_str(), error, sizeof error),
                RD_KAFKA_CONF_OK)
          << error;
    }
    FConsumer = rd_kafka_new(RD_KAFKA_CONSUMER, conf, error, sizeof error);
    ASSERT_NE(FConsumer, nullptr) << error;
    rd_kafka_topic_partition_list_t* partitions = rd_kafka_topic_partition_list_new(Partitions);
    for (int partition = 0; partition < Partitions; ++partition) {
      rd_kafka_topic_partition_list_add(partitions, Topic.c_str(), partition)->offset =
          RD_KAFKA_OFFSET_BEGINNING;
    }
    EXPECT_EQ(rd_kafka_assign(FConsumer, partitions), RD_KAFKA_RESP_ERR_NO_ERROR);
    rd_kafka_topic_partition_list_destroy(partitions);
  }

  rd_kafka_t* FHost = nullptr;
  rd_kafka_mock_cluster_t* FCluster = nullptr;
  rd_kafka_t* FConsumer = nullptr;
  std::vector<TConsumed> FConsumed;
};

}  // namespace kafkatest
