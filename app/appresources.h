#pragma once

// Registers the icons (":/icons/...") kept in the static app library. A static library's
// resource registration is linked in only when something refers to it; every window of the
// library calls this before building its form. Idempotent.
void initAppResources();
