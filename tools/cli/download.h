// The download command: the stored survey records inside a time window, as CSV or GeoJSON.
#pragma once

struct CommandContext;

// Reads the record list and then the records, newest first, until the first one outside the
// window. A download cut short (the link ends, a record cannot be read, Ctrl-C) is an error; what
// arrived stays in FILE.partial when it goes to a file.
int download(CommandContext &c);
