// A child program for the process tests, the same on every platform (it stands in for a shell).
// Its arguments are steps, run in order:
//   cwd         prints the current directory and a line end
//   env NAME    prints the variable's value (empty when unset) and a line end
//   err TEXT    prints TEXT and a line end on standard error
//   sleep MS    sleeps MS milliseconds
//   spin MS     keeps a processor busy for MS milliseconds
//   exit CODE   ends with exit code CODE
// Without an exit step it ends with 0; an unknown step ends it with 100.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "platform/uEnvironment.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string step = argv[i];
    const bool hasValue = i + 1 < argc;
    if (step == "cwd") {
      std::cout << std::filesystem::current_path().string() << std::endl;
    } else if (step == "env" && hasValue) {
      std::cout << EnvironmentValue(argv[++i]) << std::endl;
    } else if (step == "err" && hasValue) {
      std::cerr << argv[++i] << std::endl;
    } else if (step == "sleep" && hasValue) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(argv[++i])));
    } else if (step == "spin" && hasValue) {
      const auto until =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stol(argv[++i]));
      volatile unsigned long spins = 0;
      while (std::chrono::steady_clock::now() < until) {
        spins = spins + 1;
      }
    } else if (step == "exit" && hasValue) {
      return std::stoi(argv[++i]);
    } else {
      std::cerr << "KelvraTestChild: unknown step " << step << std::endl;
      return 100;
    }
  }
  return 0;
}
