#pragma once
#include <string>

namespace commonbase {

// The file of libkavrel.so itself, canonical where possible ("" if unknown).
std::string moduleFilePath();
// Its folder with a trailing "/" ("" if unknown). Data files beside the
// library are found from here by every layer, so it lives at the bottom.
std::string moduleFolder();
// The folder of the shipped data files ("xml/", "errcodes.ini",
// "LastSettings.xsd", "sim/"), with a trailing "/": beside the library in a
// build tree, share/kavrel/ of the prefix when installed. Falls back to the
// module folder when neither holds an "xml" folder.
std::string dataFolder();
// The same choice for a given module folder (for tests).
std::string dataFolderFor(const std::string& moduleFolder);

} // namespace commonbase
