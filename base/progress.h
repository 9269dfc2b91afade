#pragma once
// How a long job reports progress and learns that the user cancelled: the
// progress window's update, handed to the jobs by the run (tests hand in a
// recorder).

class Progress {
 public:
  // Shows caption and text; returns 1 once the run is to stop (the user
  // confirmed a cancel, or the system asked it to stop), else 0.
  virtual int Update(const char* caption, const char* text) = 0;

 protected:
  ~Progress() = default;
};
