// plenko-tq-dissector FILE: writes the Wireshark dissector (run by the build).
#include <fstream>
#include <iostream>

#include "wireshark/dissector.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: plenko-tq-dissector FILE\n";
        return 2;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << tq::wireshark::dissector_lua();
    out.close();
    if (!out) {
        std::cerr << "plenko-tq-dissector: cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
