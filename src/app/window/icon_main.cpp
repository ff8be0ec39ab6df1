// Writes the product picture as the desktop icon: quarbsl-icon OUT.png [SIZE]
#include <cstdio>
#include <cstdlib>

#include "app/window/productpicture.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: quarbsl-icon OUT.png [SIZE]\n");
        return 2;
    }
    const int size = argc == 3 ? std::atoi(argv[2]) : 48;
    if (size < 16 || size > 1024) {
        std::fprintf(stderr, "quarbsl-icon: SIZE must be 16 to 1024\n");
        return 2;
    }
    if (!quarwin::ProductPicture(size).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "quarbsl-icon: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
