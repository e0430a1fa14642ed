// Reserves numbers from a production store and prints each on its own line, as a station
// of its own would: the test of several stations runs two of these at once.
//
// usage: store_reserver LOCATION STATION COUNT

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include "store/ProductionStore.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 4) return 2;
  std::string error;
  auto store = otp::ProductionStore::Open(argv[1], error);
  if (!store) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  for (int i = 0, count = std::atoi(argv[3]); i < count; ++i) {
    const auto number = store->Reserve("serial", 1, 1, argv[2], error);
    if (!number) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(*number));
  }
  return 0;
}
