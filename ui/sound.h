// Plays a sound file without waiting for it to end; silently nothing when
// the file is missing or there is no audio device.
#pragma once

#include <QString>

namespace tv {

void PlaySoundFile(const QString& path);

}  // namespace tv
