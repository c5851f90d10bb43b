#include "protocol/changes.hpp"

#include "protocol/wire_record.hpp"

namespace parley::protocol {

PARLEY_WIRE_FIELDS(ChangedFile, path, oldPath, area, change, added, removed, binary)

}  // namespace parley::protocol
