// SPDX-License-Identifier: LGPL-2.1-or-later
// The card photo through the outside decoder, when a real one is installed.
#ifndef VESSIKD_PHOTO_DECODER_H
#define VESSIKD_PHOTO_DECODER_H

#include <mutex>
#include <string>

namespace vessikd {

class PhotoDecoder {
  public:
    // Makes a private folder for the decoder's files; false if it cannot.
    bool open(std::string &error);
    // Removes the folder.
    void close();

    enum class Result { Image, NoDecoder, Failed };

    // Decodes the card's 1024 photo bytes into an image file and reads it
    // back; NoDecoder while none is loaded or the kit's stand-in answers (it
    // decodes nothing).
    // On Failed, `detail` says why.
    Result decode(const unsigned char *photo, std::string &image, std::string &content_type,
                  std::string &detail);

  private:
    std::mutex mutex_; // the decoder is not known to be reentrant
    std::string folder_;
    unsigned serial_ = 0;
};

} // namespace vessikd

#endif
