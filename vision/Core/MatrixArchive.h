#pragma once
// Vectors and matrices of the linear-algebra library in the binary target files, as its archives
// store them: the 32-bit row count, the 32-bit column count, then the elements in storage
// (column-major) order.
#include <Eigen/Core>

#include <cstdint>

namespace Lumetra {

template <class Archive, typename Derived>
void saveMatrix(Archive& archive, const Eigen::PlainObjectBase<Derived>& matrix) {
  archive(static_cast<std::int32_t>(matrix.rows()), static_cast<std::int32_t>(matrix.cols()));
  for (Eigen::Index i = 0; i < matrix.size(); ++i) archive(matrix.data()[i]);
}

/// A column vector of two values of one type.
template <class Archive, typename T>
void saveColumn(Archive& archive, T first, T second) {
  saveMatrix(archive, Eigen::Matrix<T, 2, 1>(first, second));
}

}  // namespace Lumetra
