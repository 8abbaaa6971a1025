// The service commands every instrument of the family answers: firmware version, serial number,
// clock, model revision, external flash, firmware flashing and restart. Hooks no events.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>

#include "protocol.h"

class M17Protocol : public Protocol {
    Q_OBJECT

public:
    static constexpr int kType = 3;

    struct Revision {
        int32_t revision = 0;
    };

    explicit M17Protocol(QObject *parent = nullptr);

    int type() const override { return kType; }

    QString getFWVersion();  // empty without an answer
    QString getSerial();     // empty without an answer
    bool setSerial(const QString &serial);
    // Sets date and time (whole seconds) of `dateTime` from the instrument's clock; false and
    // untouched without an answer.
    bool getTime(QDateTime &dateTime);
    bool setTime(const QDateTime &dateTime);
    bool getModelRev(Revision &revision);
    bool setModelRev(const Revision &revision);
    bool eraseExtFlash(int &parameter);
    bool readExtFlash(short page, unsigned char *data);  // 64 bytes
    bool writeExtFlash(short page, const unsigned char *data, unsigned int size);
    bool flashFW(bool flag, unsigned int count);
    // True when the request was written; the instrument does not answer it.
    bool restart();
};
