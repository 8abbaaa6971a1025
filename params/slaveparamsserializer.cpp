#include "slaveparamsserializer.h"

std::shared_ptr<ParamsSerializer> SlaveParamsSerializer::createSerializer(const QString &fileName) {
    if (fileName.isEmpty()) return std::make_shared<SlaveParamsSerializer>();
    return std::make_shared<SlaveParamsSerializer>(fileName);
}

QString SlaveParamsSerializer::heading() const {
    return QStringLiteral("# Survokart slave instrument parameters");
}
