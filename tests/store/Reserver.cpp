// Opens a production store and reserves numbers from it, printing each on its own line,
// as a station of its own would: the tests of several stations run a few of these at once.
//
// With a LOT, it takes places of that lot one at a time instead, until COUNT or none is
// left.
//
// usage: store_reserver LOCATION STATION COUNT [LOT]

#include <unistd.h>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include "store/ProductionStore.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 4 && argc != 5) return 2;
  otp::StoreError error;
  auto store = otp::ProductionStore::Open(argv[1], error);
  const std::string owner = std::string(argv[2]) + "-" + std::to_string(::getpid());
  otp::Counter counter;
  bool made = false;
  if (!store ||
      !store->Claim(otp::LeaseHolder{owner, argv[2], "here", "", ::getpid(), ""}, error) ||
      !store->EnsureCounter("serial", 1, 1, counter, made, error)) {
    std::fprintf(stderr, "%s\n", error.text.c_str());
    return 1;
  }
  if (argc == 5) {
    for (int i = 0, count = std::atoi(argv[3]); i < count; ++i) {
      const auto places = store->TakePlaces(argv[4], 1, owner, argv[2], error);
      if (!places) {
        std::fprintf(stderr, "%s\n", error.text.c_str());
        return 1;
      }
      if (places->empty()) return 0;
      std::printf("%llu\n", static_cast<unsigned long long>(places->front()));
    }
    return 0;
  }
  otp::Attempt unit;
  unit.station = argv[2];
  unit.counter = "serial";
  for (int i = 0, count = std::atoi(argv[3]); i < count; ++i) {
    unit.unitId = owner + "-" + std::to_string(i);
    const auto number = store->Reserve(unit, 1000000, owner, error);
    if (!number) {
      std::fprintf(stderr, "%s\n", error.text.c_str());
      return 1;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(*number));
  }
  return 0;
}
