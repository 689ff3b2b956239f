// Records per second and CPU per record through the Kafka forwarder against librdkafka's mock
// cluster (three brokers, the topic replicated three times; no Kafka broker package exists here),
// next to the spool alone and the plain file path of the server (its file producer). The
// forwarder is loaded as the server loads it and fed from one thread, as the server's forwarder
// thread feeds it; a run ends when every record's delivery report has confirmed it. CPU is this
// process's, the mock brokers' included.
//
//   KafkaForwarderBench [records]      (default 200000)

#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/forward/uForwarderBench.h"
#include "spool/TSpool.h"

namespace {

using namespace forwardbench;

// Add, take and confirm every record: the disk work each forwarder does per record.
TFigures SpoolAlone(const std::string& dir, int records) {
  TSpoolOptions options;
  options.Directory = dir;
  TSpool spool(options);
  const std::string payload = "kelvra-logs\n10.0.0.1|load|m\n" + std::string(200, 'j');
  std::vector<TSpoolRecord> batch;
  const TMeasure measure;
  for (int i = 0; i < records; ++i) {
    spool.Add(payload);
    if (i % 256 == 255 || i + 1 == records) {
      batch.clear();
      spool.Take(batch, 1000);
      for (const auto& record : batch) {
        spool.Acknowledge(record.Sequence);
      }
    }
  }
  return measure.Done();
}

TFigures Forwarder(const std::string& dir, const std::string& servers, int records) {
  const std::string library = dir + "/KafkaForwarder.so";
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(KELVRA_KAFKA_FORWARDER, library,
                             std::filesystem::copy_options::overwrite_existing);
  std::ofstream(dir + "/KafkaForwarder.conf")
      << "[Forwarder]\nServers=" << servers
      << "\nTemplate=kelvra-logs\nMaxOutstandingAcks=20000\n[Kafka]\nlinger.ms=5\n";
  return LibraryRun(library, records);
}

}  // namespace

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::atoi(argv[1]) : 200'000;
  const std::string dir = (std::filesystem::temp_directory_path() /
                           ("kelvra_kafka_bench_" + std::to_string(std::random_device{}())))
                              .string();
  std::filesystem::create_directories(dir);
  Print("file producer", records, FilePath(dir + "/files", records));
  Print("spool alone (add, take, confirm)", records, SpoolAlone(dir + "/spool", records));
  {
    char error[512];
    rd_kafka_conf_t* conf = rd_kafka_conf_new();
    rd_kafka_conf_set(conf, "log_level", "0", error, sizeof error);
    rd_kafka_t* host = rd_kafka_new(RD_KAFKA_PRODUCER, conf, error, sizeof error);
    rd_kafka_mock_cluster_t* cluster = rd_kafka_mock_cluster_new(host, 3);
    rd_kafka_mock_topic_create(cluster, "kelvra-logs", 4, 3);
    Print("Kafka forwarder, mock cluster R3", records,
          Forwarder(dir + "/kafka", rd_kafka_mock_cluster_bootstraps(cluster), records));
    rd_kafka_mock_cluster_destroy(cluster);
    rd_kafka_destroy(host);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
