#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Kestrune %s\n", KESTRUNE_VERSION);
            return 0;
        }
    }
    std::printf("Kestrune %s: the proxy and its window are being built.\n", KESTRUNE_VERSION);
    return 0;
}
