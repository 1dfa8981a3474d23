// A structural check of a Jet 4 file: what a sound file must satisfy, for the
// tests and for anyone who suspects a file. Reports problems, never repairs.
#pragma once

#include "engine/jet/jet_file.h"

#include <string>
#include <vector>

namespace engine::jet {

// Every page owned exactly once (header, free-page map, free pages, table
// definitions, data, long-value, index and usage-map pages); usage maps agree
// with the pages' owners; row counts agree with the rows; the catalog's
// indexes hold exactly its rows with the right keys; long-value chains end
// where their lengths say. An empty result means none of these failed.
std::vector<std::string> CheckStructure(JetFile& file);

} // namespace engine::jet
