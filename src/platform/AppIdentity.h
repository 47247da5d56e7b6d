#pragma once

#include <QString>

// Who the program is to the desktop: the one place its name is given. The name is also the
// organisation's, so the per-user folders are ~/.config/Quillmoor, ~/.local/share/Quillmoor/…
namespace AppIdentity {

QString name();
// The desktop's name for the program: its desktop entry, icon and metadata files are named so.
QString desktopId();
// Names the running application and its organisation; call once the application object exists.
void apply();

} // namespace AppIdentity
