// Instrument recognition: the probes sent while an instrument is not yet known, and the models'
// recognition tests run on every frame until one accepts.
#pragma once

#include "frame.h"

constexpr int MXX_TYPE_M30 = 12;
constexpr int MXX_TYPE_M17 = 3;

int MDD_probe(int conn_id, int attempt);
int MDD_test_probe(int conn_id, MXX_frame *frame, int *device_type_out, int attempt);
