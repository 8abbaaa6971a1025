#pragma once

#include "simpleparamsserializer.h"

// The parameters of a slave instrument. They share the file layout of the simple serializer;
// a class of its own lets the dialog offer them under their own file type, and its files say
// in their first line which set they hold.
class SlaveParamsSerializer : public SimpleParamsSerializer {
public:
    using SimpleParamsSerializer::SimpleParamsSerializer;

    static std::shared_ptr<ParamsSerializer> createSerializer(const QString &fileName);

protected:
    QString heading() const override;
};
