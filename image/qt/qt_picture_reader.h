// Qt's image readers as the converter's picture reader: PNG, JPEG, GIF and
// every other format an installed Qt image plugin reads. The picture is seen
// on white paper, turned the way its EXIF data says, and read as one page.
#pragma once

namespace tv {

// Makes them the reader for idPicture documents (see picture_decoder.h).
void InstallQtPictureReader();

}  // namespace tv
