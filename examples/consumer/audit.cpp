// Prints the days missing under a replica tree in September 2021.
#include <iostream>

#include <quelmar/profile_logs/dunmere.hpp>

int main(int argc, char** argv) {
  namespace dunmere = quelmar::profile_logs::dunmere;
  using namespace std::chrono;
  const auto report = dunmere::check_missing_files(argc > 1 ? argv[1] : ".", 2021y / September / 1,
                                                   2021y / September / 30);
  for (const auto& [dir, days] : report) {
    std::cout << dir << ": " << days.size() << " days missing\n";
  }
  return report.empty() ? 0 : 1;
}
