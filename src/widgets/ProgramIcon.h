#pragma once
// The 32 x 32 pictures of the small windows, drawn here so that they need no resource files.

#include <QPixmap>

// The program's own icon: a rose blossom on a round plum badge (the About box).
QPixmap programIcon();
// The same drawing at size x size pixels (the desktop's icon sizes).
QPixmap programIcon(int size);

// A key before a padlock (the login dialog's top band).
QPixmap loginIcon();
