// Stands in for libFuzzer where the compiler has none: feeds every file named
// on the command line, and every file in every folder named, to the target
// once. The test suite runs each target over its corpus this way.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i)
    {
        std::error_code error;
        if (fs::is_directory(argv[i], error))
        {
            for (const fs::directory_entry& entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file())
                    inputs.push_back(entry.path());
        }
        else if (fs::is_regular_file(argv[i], error))
            inputs.push_back(argv[i]);
        else
        {
            std::fprintf(stderr, "replay: no file or folder '%s'\n", argv[i]);
            return 2;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& path : inputs)
    {
        std::ifstream file(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
        // An empty vector's data() may be null; libFuzzer never passes null.
        uint8_t empty = 0;
        LLVMFuzzerTestOneInput(bytes.empty() ? &empty : bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "replay: %zu inputs run\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
