#include "rasteritem.h"

#include "rasterlayer.h"

#include <QGraphicsView>
#include <QPainter>
#include <QStyleOptionGraphicsItem>

TRasterItem::TRasterItem(TRasterLayer *layer) : m_layer(layer) {
    setFlag(ItemUsesExtendedStyleOption);  // for the exposed rectangle
}

QRectF TRasterItem::boundingRect() const {
    return QRectF(QPointF(), m_layer->size());
}

void TRasterItem::paint(QPainter *painter, const QStyleOptionGraphicsItem *option,
                        QWidget *widget) {
    const double lod =
        QStyleOptionGraphicsItem::levelOfDetailFromTransform(painter->worldTransform());
    // Rendering the scene to an image exposes the whole item; the painter's clip says what shows.
    QRectF exposed = option->exposedRect;
    if (painter->hasClipping()) exposed &= painter->clipBoundingRect();
    // The whole of what the view shows, not only the part repainted now, decides which reads
    // are still wanted. Without a view (printing, rendering to an image) that is the exposed part.
    QRectF visible = exposed;
    if (auto *view = qobject_cast<QGraphicsView *>(widget ? widget->parentWidget() : nullptr))
        visible = view->mapToScene(view->viewport()->rect()).boundingRect();
    m_layer->paint(painter, exposed, visible, lod);
}
