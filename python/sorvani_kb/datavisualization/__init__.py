"""Figures of hierarchical forecasts; the figures themselves live in the native module plotPrediction."""
