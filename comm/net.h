// TCP transport: IPv4 dotted addresses only, no name lookup.
#pragma once

#include "transport.h"

extern const comm_transport_ops net_ops;

int net_set_params(void *context, int conn_id, const char *host, int port, int connect_timeout_ms);
int net_init(void **context_out);
int net_free(void **context);
int net_connect(void *context);
int net_disconnect(void *context);
int net_read(void *context, char *buffer, int *size_in_out);
int net_write(void *context, const char *data, int length, int *written_out, int timeout_ms);
int net_waitget(void *context, int mask, int *subcode_out);
int net_waitset(void *context, int interest);
int net_waitfor(void **contexts, int count, int timeout_ms);

int net_init_stack();
int net_shut_stack();
