// The packer's one kind of failure: a message that fits on one line, shown to the user as is.
#ifndef VELDRA_PACKER_ERROR_H
#define VELDRA_PACKER_ERROR_H

#include <stdexcept>
#include <string>

namespace packer {

struct packer_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace packer

#endif
