#pragma once

#include <QGraphicsItem>

class TRasterLayer;

// The map raster in the scene, at scene (0, 0), one scene unit a raster pixel. Draws through its
// layer, which the scene keeps for longer than any item.
class TRasterItem : public QGraphicsItem {
public:
    explicit TRasterItem(TRasterLayer *layer);

    QRectF boundingRect() const override;
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;

private:
    TRasterLayer *m_layer;
};
