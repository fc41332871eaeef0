// The image job: a rescue image of just what the recordings need (the disk's
// structures and every cluster of their chains), with a GNU ddrescue map
// beside it. The job plans what to copy (the directory's chains, or what a
// survey of the clusters finds where the directory is lost or is asked
// for), tells the disk by its identity, and picks the map that goes with the
// image. This header is what the other subsystems may use of it.
#pragma once

#include "drive/drive.h"
#include "imager/imager.h"

#include <string>

// Shown how far each copy of the wanted ranges is: Begin before each copy,
// End after it.
class CImageProgressShow : public CImageProgressSink {
  public:
    virtual void Begin() = 0;
    virtual void End() = 0;
};

// The map that goes with the image: the one beside it, or IMAGE.map for a
// new image. Empty, after saying why, when the image must not be touched.
std::string MapFor(const std::string& imagePath);

// What one run of the image job is asked for.
struct ImageJob {
    std::string drivePath; // the drive as opened
    std::string imagePath;
    std::string mapPath;    // as MapFor gives it
    bool surveyAll = false; // survey the clusters even where the directory holds up
};

// Opens the drive in the session and images it; the exit status, before
// the unreadable sectors the session met are counted in.
int ImageDrive(CDriveSession& session, const ImageJob& job, CImageProgressShow& progress);
