#include "runtime/block_copy/block_copy.hpp"
