#pragma once

#include <QIcon>

class QPainter;
class QRectF;

// The program's icons by resource id (IDI_MAIN and the animation frames), rendered from their
// artwork at 16 and 32 px. An id without artwork gives a null icon.
QIcon LoadKavlinkIcon(int id);

// The artwork itself drawn into target, sharp at any size and device pixel ratio; false for an
// id without artwork.
bool PaintKavlinkIcon(QPainter& painter, const QRectF& target, int id);
