#pragma once
#include <string>

namespace commonbase {

// The file of libkavrel.so itself, canonical where possible ("" if unknown).
std::string moduleFilePath();
// Its folder with a trailing "/" ("" if unknown). Data files beside the
// library are found from here by every layer, so it lives at the bottom.
std::string moduleFolder();

} // namespace commonbase
