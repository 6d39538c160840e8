#include "engine/evidence/parity_format.h"

#include "engine/store/file_names.h"

namespace quelby::parity {

std::string setFileName(int number)
{
    if (number <= 1) {
        return std::string(kParitySetFileName);
    }
    return std::string(kParitySetPrefix) + std::to_string(number) + std::string(kParitySetSuffix);
}

bool isParityName(std::string_view name)
{
    if (name.starts_with(kParitySetPrefix) && name.ends_with(kParitySetSuffix)) {
        return true; // .quelby.par2, .quelby.N.par2, and anything shaped like them
    }
    return name.starts_with(kParitySetFileName) &&
           name.substr(kParitySetFileName.size()).starts_with(kParityNewInfix);
}

} // namespace quelby::parity
