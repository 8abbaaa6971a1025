// How the instruments make themselves known on each kind of link, defined once for every layer:
// their USB ids, the PIN and channel of their Bluetooth serial port, and the discovery port.
#pragma once

// Plain USB instruments ("USBU").
constexpr int USBUNIV_VENDOR = 0x1781;
constexpr int USBUNIV_PRODUCT_FIRST = 0x0c45;
constexpr int USBUNIV_PRODUCT_LAST = 0x0c4d;

// Instruments behind an FTDI chip ("USBF", "USBS"), with the chip's ids set to the maker's.
constexpr int FTDI_INSTRUMENT_VENDOR = 0x1781;
constexpr int FTDI_INSTRUMENT_PRODUCT = 0x0c44;

// Bluetooth ("BLTH"): the RFCOMM channel and the PIN an instrument pairs with unless its
// connection string names another.
constexpr int BT_INSTRUMENT_CHANNEL = 1;
constexpr const char *BT_INSTRUMENT_PIN = "9153";

// The local network ("NETW"): the UDP port of discovery requests and answers.
constexpr int NET_BROADCAST_PORT = 4455;
