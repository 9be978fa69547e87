/* SPDX-License-Identifier: BSD-3-Clause
 *
 * The CBLAS routines the core calls, under one name each. OpenBLAS from the
 * scipy-openblas32 wheel prefixes its symbols with "scipy_"; a plain system
 * OpenBLAS builds with -DBLAS_SYMBOL_PREFIX= (empty). 32-bit BLAS integers.
 */
#ifndef TAVRINE_BLAS_H
#define TAVRINE_BLAS_H

#ifndef BLAS_SYMBOL_PREFIX
#define BLAS_SYMBOL_PREFIX scipy_
#endif

#define BLAS_CONCAT_(a, b) a##b
#define BLAS_CONCAT(a, b) BLAS_CONCAT_(a, b)
#define BLAS_FUNC(name) BLAS_CONCAT(BLAS_SYMBOL_PREFIX, name)

#define cblas_sgemm BLAS_FUNC(cblas_sgemm)
#define cblas_sdot BLAS_FUNC(cblas_sdot)
#define cblas_saxpy BLAS_FUNC(cblas_saxpy)
#define cblas_sscal BLAS_FUNC(cblas_sscal)
#define openblas_set_num_threads BLAS_FUNC(openblas_set_num_threads)

#ifdef __cplusplus
extern "C" {
#endif

enum CBLAS_ORDER { CblasRowMajor = 101, CblasColMajor = 102 };
enum CBLAS_TRANSPOSE { CblasNoTrans = 111, CblasTrans = 112 };

void cblas_sgemm(enum CBLAS_ORDER order, enum CBLAS_TRANSPOSE ta, enum CBLAS_TRANSPOSE tb,
                 int m, int n, int k, float alpha, const float *a, int lda, const float *b,
                 int ldb, float beta, float *c, int ldc);
float cblas_sdot(int n, const float *x, int incx, const float *y, int incy);
void cblas_saxpy(int n, float alpha, const float *x, int incx, float *y, int incy);
void cblas_sscal(int n, float alpha, float *x, int incx);
void openblas_set_num_threads(int n);

#ifdef __cplusplus
}
#endif

#endif /* TAVRINE_BLAS_H */
