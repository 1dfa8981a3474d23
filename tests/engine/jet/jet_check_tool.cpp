// Command-line front of the structural checker, for the end-to-end tests:
// jet_check FILE... prints each problem as "FILE: problem" and exits 1 when
// there is any (2 when a file cannot be read at all).
#include "engine/jet/jet_check.h"
#include "engine/jet/jet_file.h"

#include <cstdio>

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        try {
            auto file = engine::jet::JetFile::Open(argv[i], false);
            for (const std::string& problem : engine::jet::CheckStructure(*file)) {
                std::printf("%s: %s\n", argv[i], problem.c_str());
                status = 1;
            }
        } catch (const engine::EngineError& e) {
            std::printf("%s: %s\n", argv[i], e.Description().c_str());
            return 2;
        }
    }
    return status;
}
