// The dense matrix template: shapes, arithmetic, products, transposes,
// sub-matrices, the print layout and the precondition stops.
#include <gtest/gtest.h>

#include <complex>
#include <sstream>

#include "Matrix.h"

using NumaMathLibrary::Matrix;

namespace {

Matrix<double> counting(unsigned rows, unsigned cols) {
    Matrix<double> m(rows, cols);
    for (unsigned i = 0; i < rows; ++i)
        for (unsigned j = 0; j < cols; ++j) m[i][j] = 10.0 * i + j;
    return m;
}

TEST(Matrix, ConstructionZeroesAndReportsShape) {
    Matrix<double> m(3, 4);
    EXPECT_EQ(m.nRows(), 3u);
    EXPECT_EQ(m.nCols(), 4u);
    EXPECT_EQ(m.nElems(), 12u);
    EXPECT_FALSE(m.isSquare());
    EXPECT_TRUE(m == 0.0);
    EXPECT_TRUE(m.legalIndices(2, 3));
    EXPECT_FALSE(m.legalIndices(3, 0));
    EXPECT_FALSE(m.legalIndices(0, 4));
    Matrix<double> empty(0, 5);
    EXPECT_EQ(empty.nElems(), 0u);
    EXPECT_TRUE(empty == 7.0);  // vacuously true
}

TEST(Matrix, RowMajorStorageAndDeepCopy) {
    Matrix<double> m = counting(2, 3);
    EXPECT_EQ(m.data()[4], 11.0);  // row 1, column 1
    Matrix<double> copy(m);
    copy[0][0] = -1.0;
    EXPECT_EQ(m[0][0], 0.0);
    Matrix<double> assigned;
    assigned = m;
    EXPECT_TRUE(assigned == m);
    assigned = assigned;  // self-assignment keeps everything
    EXPECT_TRUE(assigned == m);
}

TEST(Matrix, ElementWiseAndScalarArithmetic) {
    Matrix<double> a = counting(2, 2), b(2, 2);
    b += 2.0;
    Matrix<double> c = a + b;
    EXPECT_EQ(c[1][1], 13.0);
    c -= b;
    EXPECT_TRUE(c == a);
    c *= b;  // element-wise
    EXPECT_EQ(c[1][0], 20.0);
    c /= b;
    EXPECT_TRUE(c == a);
    Matrix<double> h = a / 2.0;
    EXPECT_EQ(h[1][1], 5.5);
    EXPECT_EQ((-a)[0][1], -1.0);
    EXPECT_TRUE(+a == a);
    Matrix<double> n(1, 1);
    n[0][0] = std::nan("");
    EXPECT_FALSE(n == n);  // a NaN never compares equal
}

TEST(Matrix, ProductShapesAndValues) {
    Matrix<double> a = counting(2, 3), b = counting(3, 4);
    Matrix<double> p = a % b;
    ASSERT_EQ(p.nRows(), 2u);
    ASSERT_EQ(p.nCols(), 4u);
    // p[1][2] = sum_k a[1][k] * b[k][2] = 10*2 + 11*12 + 12*22
    EXPECT_EQ(p[1][2], 10.0 * 2 + 11.0 * 12 + 12.0 * 22);
    Matrix<double> r(2, 4);
    a.matrixMultiply(b, r);
    EXPECT_TRUE(r == p);

    // The right operand may also be the result.
    Matrix<double> sq = counting(2, 2), target = counting(2, 2);
    Matrix<double> expect = sq % target;
    sq.matrixMultiply(target, target);
    EXPECT_TRUE(target == expect);
}

TEST(Matrix, TransposeForms) {
    Matrix<double> one(1, 1);
    one[0][0] = 4.0;
    one.transpose();
    EXPECT_EQ(one[0][0], 4.0);

    Matrix<double> m = counting(2, 3);
    Matrix<double> t = m.getTranspose();
    ASSERT_EQ(t.nRows(), 3u);
    ASSERT_EQ(t.nCols(), 2u);
    for (unsigned i = 0; i < 2; ++i)
        for (unsigned j = 0; j < 3; ++j) EXPECT_EQ(t[j][i], m[i][j]);
    Matrix<double> inPlace = m;
    inPlace.transpose();
    EXPECT_TRUE(inPlace == t);
    Matrix<double> sq = counting(3, 3), sqT(3, 3);
    sq.setTranspose(sqT);
    sq.transpose();
    EXPECT_TRUE(sq == sqT);
}

TEST(Matrix, ResizeKeepsOverlapAndFills) {
    Matrix<double> m = counting(2, 2);
    m.resize(3, 4, -1.0);
    EXPECT_EQ(m.nRows(), 3u);
    EXPECT_EQ(m.nCols(), 4u);
    EXPECT_EQ(m[1][1], 11.0);
    EXPECT_EQ(m[0][3], -1.0);
    EXPECT_EQ(m[2][0], -1.0);
    m.resize(1, 2, 5.0);
    EXPECT_EQ(m[0][0], 0.0);
    EXPECT_EQ(m[0][1], 1.0);
}

TEST(Matrix, SubMatrixIsInclusive) {
    Matrix<double> m = counting(3, 3);
    Matrix<double> row = m.subMatrix(1, 1, 0, 2);
    ASSERT_EQ(row.nRows(), 1u);
    ASSERT_EQ(row.nCols(), 3u);
    EXPECT_EQ(row[0][0], 10.0);
    EXPECT_EQ(row[0][2], 12.0);
    Matrix<double> corner = m.subMatrix(1, 2, 1, 2);
    EXPECT_EQ(corner[1][1], 22.0);
}

TEST(Matrix, PrintLayout) {
    Matrix<double> m(2, 12);
    for (unsigned j = 0; j < 12; ++j) m[1][j] = j;
    std::ostringstream os;
    m.print(os, ",", 3);
    std::string expected = "m: 2\tn:12\n";
    expected += "(   1) [  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,*10*   0,  0,\t]\n";
    expected += "(   2) [  0,  1,  2,  3,  4,  5,  6,  7,  8,  9,*10*  10, 11,\t]\n";
    expected += "\n";
    EXPECT_EQ(os.str(), expected);

    std::ostringstream bad;
    m.print(bad, nullptr, 3);
    EXPECT_TRUE(bad.fail());
}

TEST(Matrix, ComplexElements) {
    Matrix<std::complex<double>> a(1, 2), b(2, 1);
    a[0][0] = {1, 2};
    a[0][1] = {0, 1};
    b[0][0] = {3, 0};
    b[1][0] = {0, 1};
    Matrix<std::complex<double>> p = a % b;  // (1+2i)3 + i*i = 2 + 6i
    EXPECT_EQ(p[0][0], std::complex<double>(2, 6));
    std::ostringstream os;
    p.print(os, " ", 0);
    EXPECT_EQ(os.str(), "m: 1\tn:1\n(   1) [(2,6) \t]\n\n");
}

using MatrixDeathTest = ::testing::Test;

TEST_F(MatrixDeathTest, PreconditionTexts) {
    Matrix<double> a(2, 3), b(2, 3), c(3, 3), r(2, 3);
    EXPECT_DEATH(a % b, "operator%.*n_ == rh_matrix\\.m_");
    EXPECT_DEATH(a += c, "equalSized\\( rh_matrix \\)");
    EXPECT_DEATH((void)(a == c), "equalSized\\( rh_matrix \\)");
    EXPECT_DEATH(a.matrixMultiply(c, a), "matrixMultiply.*this != &result");
    EXPECT_DEATH(a.matrixMultiply(c, c),
                 "result\\.m_ == m_ && result\\.n_ == rh_matrix\\.n_");
    EXPECT_DEATH(c.setTranspose(a), "transpose_result\\.n_ == m_ && transpose_result\\.m_ == n_");
    EXPECT_DEATH(c.subMatrix(0, 3, 0, 2), "subMatrix.*legalIndices\\( end_row, end_col \\)");
    EXPECT_DEATH(c.subMatrix(3, 3, 0, 0), "legalIndices\\( start_row, start_col \\)");
    EXPECT_DEATH(c.subMatrix(2, 1, 0, 0), "end_row >= start_row");
    EXPECT_DEATH(c.subMatrix(0, 0, 2, 1), "end_col >= start_col");
    EXPECT_DEATH(c[3], "row_index < nRows\\(\\)");
    // A mismatched inner size in matrixMultiply would read past the right operand.
    EXPECT_DEATH(a.matrixMultiply(b, r), "matrixMultiply.*n_ == rh_matrix\\.m_");
}

}  // namespace
