// Feeds arbitrary texts to the secret reader with a random output size, and checks that
// every secret the scrambling can store reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/alert_config.h"
#include "config/secret.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::size_t out_size = data[0] % 64 == 0 ? 300 : data[0] % 64;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    char* out = new char[out_size];
    int result = hv::reveal_secret(text.c_str(), out, out_size);
    if ((result != 0 && result != 1) || std::strlen(out) >= out_size ||
        (result == 0 && out[0] != '\0'))
        std::abort();
    delete[] out;

    // Round trip: a secret of at most 255 bytes without NUL and without the byte that
    // scrambles to '~' comes back whole.
    std::string secret(text.c_str());
    if (secret.size() > hv::kMaxScrambledBytes)
        secret.resize(hv::kMaxScrambledBytes);
    if (secret.find('\x15') == std::string::npos) {
        hv::ScrambledText scrambled;
        hv::scramble_secret(secret, scrambled);
        char back[hv::kMaxRevealedBytes + 1];
        if (hv::reveal_secret(scrambled.c_str(), back, sizeof back) != 1 || secret != back)
            std::abort();
    }
    return 0;
}
