#pragma once

#include <QIcon>

// The tray item's "custom-chevron-up" artwork, drawn per size so it stays crisp at 16-32 px
// and readable on dark and light panels alike (a light stroke with a dark rim).
QIcon chevronIcon();
