// Opens the first board through the C++ wrapper, reads 1 MiB and says how it went.
#include <cstdio>
#include <vector>

#include "quorix/quorix.hpp"

int main() {
  try {
    std::printf("%d board(s)\n", quorix::CountDevices());
    quorix::Device board = quorix::Device::Open(0);
    std::vector<std::uint32_t> words(1 << 18);
    board.Read(std::span(words));
    std::size_t steps = 0;
    for (std::size_t i = 1; i < words.size(); ++i) steps += words[i] == words[i - 1] + 1;
    std::printf("read %zu bytes from %s; %zu of %zu words follow their predecessor\n",
                words.size() * 4, quorix::SerialNumber(0).value_or("?").c_str(), steps,
                words.size() - 1);
    return 0;
  } catch (const quorix::Error& error) {
    std::fprintf(stderr, "consumer: %s: %s\n", error.what(), error.code().message().c_str());
    return 1;
  }
}
