// `korvinst show`: the filter lists of every class the setup library
// manages (the built-in classes and those configured under the GUIDs key)
// and of their present devices. Reads only.
#pragma once

#include <string>

namespace korvinst {

std::string ShowFilters();

}  // namespace korvinst
