// Command 25's choice of how rows are read.
#pragma once

namespace orv {

// Whether command 25 may read rowsets through bound arrays where the
// result allows it (true, the default) or reads every value on its own.
// For tests that compare both ways.
void set_block_rowsets(bool allowed);

}  // namespace orv
