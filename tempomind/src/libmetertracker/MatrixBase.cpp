#include "MatrixBase.h"

namespace NumaMathLibrary {

MatrixBase::~MatrixBase() = default;

}  // namespace NumaMathLibrary
