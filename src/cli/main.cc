#include "base/entry.h"
#include "cli/wavtally.h"

WAVTALLY_ENTRY(wavtally::WavtallyMain)
