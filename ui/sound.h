// Plays a sound file without waiting for it to end; silently nothing when
// the file is missing or there is no audio device.
#pragma once

#include <QString>
#include <functional>

namespace tv {

void PlaySoundFile(const QString& path);

// The sound of a received fax: the one the user chose, else the program's own chime.
QString ReceivedFaxSound(const QString& chosen);

// Called with every file PlaySoundFile is asked to play (whether or not the
// machine can be heard): a test's window onto the speaker.
void SetSoundObserver(std::function<void(const QString& path)> observer);

}  // namespace tv
