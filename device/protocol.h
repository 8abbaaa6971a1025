// The base of every protocol object: bound to one connection of a device at a time, it turns the
// records the device hands it into typed signals and offers the model's commands.
#pragma once

#include <QObject>
#include <QVariant>
#include <atomic>

class QThread;

class Protocol : public QObject {
    Q_OBJECT

public:
    explicit Protocol(QObject *parent = nullptr);
    ~Protocol() override;

    // Stores the connection id and announces the binding; subclasses call this first.
    virtual void bind(int connId, QThread *thread);
    virtual void unbind();
    virtual int type() const = 0;
    // Called on the device's thread with every record of the connection.
    virtual void receiveData(QVariant &data);

    bool isBound() const { return m_connId != -1; }
    int connId() const { return m_connId; }
    // Asks the library to close the bound connection.
    bool disconnectDevice();
    // Whether the last command this thread sent got an answer: a method that returned false
    // was refused when this is true, and met silence when it is false.
    static bool lastCommandAnswered();

signals:
    void bindStateChanged(bool bound);

protected:
    // A command succeeded only when an answer said so: the transaction's result 0 alone also
    // stands for an instrument that never answered.
    static bool succeeded(int result);

    // Written on the device's thread; commands may read it from any thread.
    std::atomic<int> m_connId{-1};
};
