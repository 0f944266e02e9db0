// The public callables, each declared by its table next to its body.
#pragma once

#include "runtime/function.hpp"

namespace sorvani {

extern const rt::Spec obtain_dataset_spec;      // model/hierarchy.cpp
extern const rt::Spec init_spec;                // model/plotter.cpp
extern const rt::Spec plot_pred_spec;           // prediction/forecast.cpp
extern const rt::Spec plot_hierarchical_spec;   // prediction/hierarchy_figures.cpp
extern const rt::Spec plot_sum_hierarchy_spec;  // prediction/hierarchy_figures.cpp
extern const rt::Spec dist_residuals_spec;      // residuals/residuals.cpp
extern const rt::Spec plot_residuals_spec;      // residuals/residuals.cpp

}  // namespace sorvani
